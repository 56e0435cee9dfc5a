// The "install" and "uninstall" commands: register or remove the program's own scheduled task,
// which starts it with "repair" fifteen minutes after each logon and then once a day.
#pragma once

#include <functional>
#include <string>

#include "platform/scheduled_task.h"

namespace app {

// The task as this program registers it, named after the product.
[[nodiscard]] platform::task_description make_task_description(const std::wstring& product_name);

// Where the product name comes from. It is asked once, after COM is up and the task service is
// connected, so a run that cannot reach the task service never loads the product's libraries.
using product_name_source = std::function<std::wstring()>;

// Both initialise COM on the calling thread for their run and raise a system error on failure.
void install_task(const product_name_source& product_name);
void uninstall_task(const product_name_source& product_name);

}  // namespace app
