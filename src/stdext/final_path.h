// Whether a file opened by name is the file the name was meant to give: a link or a junction on
// the way shows in the final path the system reports for the open file.
#pragma once

#include <string_view>

namespace stdext::path {

// Whether final_path, the system's final path of an opened file ("\\?\C:\..." or
// "\\?\UNC\server\..."), names path itself: the two compare equal in their normal forms once
// the "\\?\" prefixes are taken off. A name that led through a link or a junction to another
// place does not, nor does an empty final path.
[[nodiscard]] bool is_final_path_of(std::wstring_view final_path, std::wstring_view path);

}  // namespace stdext::path
