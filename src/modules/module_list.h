#pragma once

// Loads every module file named in "/etc/quenvale_list", one path per
// line, in order, each with options from argv (see load_module). Returns 0
// when all loaded, -1 when the list is missing or unreadable, or the first
// failing module's result; the rest of the list is then not read.
int load_module_list(char* const* argv);

// The same for another list file.
int load_module_list_from(const char* list_path, char* const* argv);
