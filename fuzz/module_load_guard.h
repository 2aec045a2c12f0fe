#pragma once

// Forbids module loading for the rest of the process: init_module and
// finit_module fail with EPERM, and system calls made through another ABI
// (which would bypass the number checks) kill the process. Then proves the
// filter works by trying both calls. Aborts when any of that fails: a
// fuzzer that can reach the module loader must never run unguarded, since
// a fuzzed path can name a real ELF file of this machine.
void install_module_load_guard_or_abort();
