#pragma once
// Code pages.

namespace vexel {

// Whether text in code page `page` (437, 850, 1252, 65001 for UTF-8, ...) can be read and
// written: a built-in table, or one the system's converter knows.
bool codepage_available(int page) noexcept;

}  // namespace vexel
