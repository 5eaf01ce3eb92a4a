#pragma once

#include <string>
#include <string_view>

namespace velmo {

// The text in double quotes, ready to go into a message: well-formed UTF-8 is kept as it is,
// while a double quote or backslash is escaped with a backslash and a control character or a
// byte that is not part of well-formed UTF-8 becomes \xNN. Whatever the text holds, the message
// stays on one line, is not cut short at a NUL and decodes as UTF-8.
std::string quotedForMessage(std::string_view text);

}  // namespace velmo
