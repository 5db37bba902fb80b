// Event types of the component framework. Events are fired only when assigned.
#pragma once

#include <functional>

class TObject;

using TNotifyEvent = std::function<void(TObject* Sender)>;
// The owner is asked to repair a setting; setting Handled asks for one more attempt.
using THandlerEvent = std::function<void(bool& Handled)>;
