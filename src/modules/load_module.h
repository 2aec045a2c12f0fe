#pragma once

// Largest module image the kernel's loader takes.
constexpr long long kMaxModuleSize = 0x7FFFF000LL;

// Maps one module file and hands it to the kernel with the option string
// built from argv. Returns 0; -1 for a null path; -12 with errno ENOMEM
// when the file cannot be opened, is too large or empty, is no ELF image,
// or the options cannot be allocated; or the kernel's positive error
// number after "insmod failed:%s".
int load_module(const char* path, char* const* argv);
