#pragma once
// Event types shared by the library's components. An event is called only
// when it is set; its first argument is the sender.
#include <functional>

#include "platform/component.h"

namespace Vizu2000 {

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TProgressEvent = std::function<void(TComponent* Sender, int Total, int Current)>;

}  // namespace Vizu2000
