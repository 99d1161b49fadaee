// The services' handles (SC_HANDLE, HKEY, token handles) in the process's user
// handle table.
#include "winsim/um/services.h"

namespace winsim::um {

HANDLE InsertUserHandle(std::shared_ptr<detail::KObject> object, const char* kind) {
    return detail::InsertHandle(std::move(object), false, kind);
}

std::shared_ptr<detail::KObject> ReferenceUserHandle(HANDLE handle) { return detail::ReferenceHandle(handle); }

bool CloseUserHandle(HANDLE handle) { return detail::CloseHandleEntry(handle); }

}  // namespace winsim::um
