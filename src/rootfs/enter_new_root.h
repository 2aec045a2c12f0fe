#pragma once

// Hands the machine to the file system mounted at new_root: empties the
// RAM disk, moves new_root onto "/", enters it and executes next_init
// with argv. Returns only when that cannot be done, after saying why
// (nothing is said when the exec itself fails).
void enter_new_root(const char* new_root, const char* next_init,
                    char* const* argv);
