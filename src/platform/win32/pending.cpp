// Families this backend does not provide yet. Each moves to its own file when it is implemented.
#include "platform/native.h"

namespace platform::backend {
} // namespace platform::backend
