#pragma once

#include <string>
#include <string_view>

namespace oskel::server {

// User ids are compared with ASCII letters folded and every other byte exact,
// everywhere: the directory at sign-in, the routing index, the offline store.
std::string foldUserId(std::string_view userId);
bool sameUserId(std::string_view a, std::string_view b);

} // namespace oskel::server
