#pragma once
// Test support: Perl's XBase::Index (libdbd-xbase-perl), an independent reader of .NDX and .CDX
// files, run as a check that other programs read what this one writes; never a source of code.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx::test {

// Whether Perl and XBase::Index are there (tests skip without them).
bool PerlHasXBase();

// Perl's reading of an index in its order: (key, record) pairs, character keys without their
// trailing blanks. `tag` names a .CDX tag (empty for an .NDX), `type` its key type ("C", "N"; empty
// for an .NDX). `listing` is a scratch file. False when Perl failed.
bool PerlReadsIndex(const std::string& index, const std::string& tag, const std::string& type,
                    const std::string& listing,
                    std::vector<std::pair<std::string, std::uint32_t>>& out);

}  // namespace vx::test
