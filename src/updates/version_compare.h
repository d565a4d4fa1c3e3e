#pragma once

#include <string_view>

namespace kestrio::updates {

// Orders version texts as a feed and the application write them: negative when `a` is older
// than `b`, zero when they name the same version, positive when `a` is newer.
//
// A version is a run of dot-separated decimal components, compared by value ("1.10" is newer
// than "1.9", "01" is "1", and missing components count as zero, so "1.2" is "1.2.0"); digit
// runs of any length are compared exactly. The numeric part ends at the first character that is
// neither a digit nor a dot between components; what follows is a pre-release tag ("1.2b1",
// "1.2.0-beta2", "2.0-rc.1"), and a version with a tag is older than the same numbers without
// one. Tags are compared piece by piece, splitting them into letter runs and digit runs and
// ignoring the punctuation between: digit runs by value, letter runs alphabetically ignoring
// ASCII case (so "alpha" < "beta" < "rc" and "beta2" < "beta10"), a digit run before a letter
// run, and a tag that ends first is the older ("beta" < "beta.1"). Everything from a '+' on is
// build metadata and ignored; surrounding whitespace and a leading 'v' are ignored as well.
// A component that starts with no digit counts as zero followed by a tag ("1.beta" is "1.0beta").
int compareVersions(std::string_view a, std::string_view b) noexcept;

}  // namespace kestrio::updates
