#pragma once

// The common fatal exit: status -1 (255).
[[noreturn]] void die();
