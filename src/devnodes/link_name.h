#pragma once

// UUIDs come from the disks themselves and some formats store them as free
// text. A name used for a link under /dev/disk must be a single path
// component, or a crafted header could plant a link anywhere under /dev.
bool is_safe_link_name(const char* name);
