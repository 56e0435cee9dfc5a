// The remote update: fetches the description of the update the product's update service offers,
// downloads its installer into a temporary file, checks that the file is signed by the same
// signer as this program, and starts it in the interactive user's session.
#pragma once

#include <string>

namespace supervision::update {

// The update description: where the installer is and which version it brings.
struct update_info {
    std::string url;      // UTF-8
    std::string version;  // UTF-8, kept with the URL and not compared with anything
};

// True when an update was downloaded, checked and its installer started. Every failure is
// logged and gives false. The downloaded file stays only when its installer was started. The
// endpoint is setting 8 of the product settings.
[[nodiscard]] bool exec();

// The description at endpoint. Raises on an HTTP failure, a declared size above 1 MiB, a body
// that is not JSON ("syntax error ...") and a document without string "url" and "version"
// ("unknown json").
[[nodiscard]] update_info fetch_update_info(const std::wstring& endpoint);

// The temporary folder, ending with "\"; raises "GetTempPath failed".
[[nodiscard]] std::wstring get_temp_folder();
// A fresh, empty file in the temporary folder whose name starts with three random letters a-z;
// when the system cannot make one, the folder followed by the tick count in milliseconds
// (nothing is created then). Raises as get_temp_folder.
[[nodiscard]] std::wstring make_temp_file_path();

// Copies the body at url into the file at path, created or truncated; raises on any failure.
void download_to_file(const std::wstring& url, const std::wstring& path);

}  // namespace supervision::update
