// Binds the logger to a fake "log.dll" for one test and lists its messages as
// "<level> <function>: <text>".
#pragma once

#include <string>
#include <vector>

#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"
#include "logging/log.h"

namespace testing_support {

class log_capture {
public:
    explicit log_capture(fakes::fake_modules& modules) : library_(modules) {}

    std::vector<std::wstring> messages() const {
        std::vector<std::wstring> out;
        for (const auto& line : library_.lines()) {
            if (line.kind == logging::kind_message) {
                out.push_back(std::to_wstring(line.level) + L" " + line.function + L": " +
                              line.text);
            }
        }
        return out;
    }

private:
    fakes::fake_log_library library_;
    logging::scopped_log_init hold_;
};

}  // namespace testing_support
