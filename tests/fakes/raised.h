// What a call raised, as one comparable text: "system <code>: <what>" for a system error,
// "runtime: <what>" for any other standard exception, "nothing" when it returned.
#pragma once

#include <exception>
#include <string>
#include <system_error>

namespace fakes {

template <class Call>
[[nodiscard]] std::string raised(Call&& call) {
    try {
        call();
    } catch (const std::system_error& e) {
        return "system " + std::to_string(e.code().value()) + ": " + e.what();
    } catch (const std::exception& e) {
        return std::string("runtime: ") + e.what();
    }
    return "nothing";
}

}  // namespace fakes
