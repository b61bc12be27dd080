// Junctions for tests that check that nothing reaches through a link.
#pragma once

#include <string>

namespace test_support {

// Makes `link` a new folder that is a junction to `target`; false where the system cannot
// (Wine cannot), and the test then skips.
bool MakeJunction(const std::wstring& link, const std::wstring& target);

}  // namespace test_support
