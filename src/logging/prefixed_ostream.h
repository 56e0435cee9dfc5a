// A wide output stream that starts every line with a local time stamp, written over another
// stream's buffer (the repair log file). A line is stamped when its first character is written,
// so the stamp tells when the line was begun, not when the previous one ended.
//
//     std::wofstream file(path);
//     logging::prefixed_wostream log(file);
//     log << L"start service" << std::endl;
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace logging {

// The local time as "2024-05-01 13:02:07.045 " (date, time, milliseconds, one space); empty when
// the time cannot be had.
[[nodiscard]] std::wstring now_string();

// Passes every character to the target buffer, writing Prefix() before the first character of
// each line. Has no put area of its own, so everything written has reached the target.
template <auto Prefix, class CharT, class Traits = std::char_traits<CharT>>
class basic_prefixed_streambuf : public std::basic_streambuf<CharT, Traits> {
public:
    using int_type = typename Traits::int_type;
    using streambuf_type = std::basic_streambuf<CharT, Traits>;

    // The target is not owned and must outlive this buffer.
    explicit basic_prefixed_streambuf(streambuf_type* target) : target_(target) {}

protected:
    int_type overflow(int_type ch) override {
        if (Traits::eq_int_type(ch, Traits::eof())) {
            return Traits::not_eof(ch);
        }
        if (target_ == nullptr) {
            return Traits::eof();
        }
        if (at_line_start_) {
            const std::basic_string<CharT, Traits> prefix = Prefix();
            if (!prefix.empty()) {
                const auto size = static_cast<std::streamsize>(prefix.size());
                if (target_->sputn(prefix.data(), size) < size) {
                    return Traits::eof();
                }
            }
        }
        const CharT c = Traits::to_char_type(ch);
        at_line_start_ = Traits::eq(c, CharT('\n'));
        return target_->sputc(c);
    }

    int sync() override { return target_ == nullptr ? -1 : target_->pubsync(); }

private:
    streambuf_type* target_;
    bool at_line_start_ = true;
};

// An output stream that writes into its own prefixing buffer.
template <auto Prefix, class Ostream>
class basic_prefixed_ostream : private basic_prefixed_streambuf<Prefix, typename Ostream::char_type,
                                                                typename Ostream::traits_type>,
                               public Ostream {
    using buffer_type = basic_prefixed_streambuf<Prefix, typename Ostream::char_type,
                                                 typename Ostream::traits_type>;

public:
    // The target stream (or buffer) is not owned and must outlive this stream. A target stream
    // that failed already (a file that could not be opened) makes a stream that drops everything.
    explicit basic_prefixed_ostream(typename buffer_type::streambuf_type* target)
        : buffer_type(target), Ostream(static_cast<buffer_type*>(this)) {}
    explicit basic_prefixed_ostream(
        std::basic_ostream<typename Ostream::char_type, typename Ostream::traits_type>& target)
        : basic_prefixed_ostream(target ? target.rdbuf() : nullptr) {
        if (target.rdbuf() == nullptr || !target) {
            this->setstate(std::ios_base::badbit);
        }
    }

    // Both bases have these; the stream's are meant.
    using Ostream::getloc;
    using Ostream::imbue;
};

using prefixed_wstreambuf =
    basic_prefixed_streambuf<now_string, wchar_t, std::char_traits<wchar_t>>;
using prefixed_wostream = basic_prefixed_ostream<now_string, std::wostream>;

}  // namespace logging
