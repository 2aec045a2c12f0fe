#pragma once

// The option string handed to every module: the vector's elements from its
// second on, each followed by one blank ("a=1 b "). Empty when the vector
// has fewer than two elements. Returns a malloc'd string, or null when it
// cannot be allocated.
char* build_option_string(char* const* argv);
