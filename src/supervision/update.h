// The remote update: fetches the update the product's update service offers and starts its
// installer. Until the HTTP client is part of the program it reports that no update took over,
// so the check-and-repair run falls back to starting or reinstalling the agent.
#pragma once

namespace supervision::update {

// True when an update was downloaded, checked and its installer started.
[[nodiscard]] bool exec();

}  // namespace supervision::update
