#pragma once

// Forbids module loading for the rest of the process: init_module and
// finit_module fail with EPERM, and system calls made through another ABI
// (which would bypass the number checks) kill the process. Then proves the
// filter works by trying both calls. Every test program that can reach the
// module loader installs it first, so that no test can put a module into
// the kernel of the machine it runs on.
//
// Returns false when the filter cannot be installed or does not hold
// (emulators such as qemu-user refuse filters), with errno telling why.
bool install_module_load_guard();

// For programs that must never run unguarded, such as a fuzzer whose
// paths can name a real ELF file of this machine: aborts on failure.
void install_module_load_guard_or_abort();
