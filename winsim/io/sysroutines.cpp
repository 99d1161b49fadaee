// System routine lookup (MmGetSystemRoutineAddress): the kernel exports a driver may
// resolve at run time, minus the ones a test hid to play an older Windows.
#include <set>

#include "winsim/io/io.h"

namespace winsim::io {
namespace {

struct RoutineState {
    std::mutex mutex;
    std::set<std::u16string> hidden;
};
RoutineState g_routines;

struct Export {
    const char16_t* name;
    PVOID address;
};

const std::vector<Export>& Exports() {
    static const std::vector<Export> table = {
        {u"ZwQueryInformationProcess", reinterpret_cast<PVOID>(&ZwQueryInformationProcess)},
        {u"IoOpenDriverRegistryKey", reinterpret_cast<PVOID>(&IoOpenDriverRegistryKey)},
        {u"PsSetCreateProcessNotifyRoutineEx", reinterpret_cast<PVOID>(&PsSetCreateProcessNotifyRoutineEx)},
        {u"PsSetCreateProcessNotifyRoutine", reinterpret_cast<PVOID>(&PsSetCreateProcessNotifyRoutine)},
        {u"PsLookupProcessByProcessId", reinterpret_cast<PVOID>(&PsLookupProcessByProcessId)},
        {u"PsGetProcessId", reinterpret_cast<PVOID>(&PsGetProcessId)},
        {u"PsGetCurrentProcessId", reinterpret_cast<PVOID>(&PsGetCurrentProcessId)},
        {u"ZwOpenKey", reinterpret_cast<PVOID>(&ZwOpenKey)},
        {u"ZwQueryValueKey", reinterpret_cast<PVOID>(&ZwQueryValueKey)},
        {u"ZwClose", reinterpret_cast<PVOID>(&ZwClose)},
        {u"ObfReferenceObject", reinterpret_cast<PVOID>(&ObfReferenceObject)},
        {u"ObfDereferenceObject", reinterpret_cast<PVOID>(&ObfDereferenceObject)},
        {u"ExAllocatePool2", reinterpret_cast<PVOID>(&ExAllocatePool2)},
        {u"ExAllocatePoolWithTag", reinterpret_cast<PVOID>(&ExAllocatePoolWithTag)},
        {u"ExFreePoolWithTag", reinterpret_cast<PVOID>(&ExFreePoolWithTag)},
    };
    return table;
}

}  // namespace

void SystemRoutinesBoot() {
    std::lock_guard<std::mutex> lock(g_routines.mutex);
    g_routines.hidden.clear();
}

}  // namespace winsim::io

namespace winsim {

void Machine::HideSystemRoutine(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(io::g_routines.mutex);
    io::g_routines.hidden.insert(name);
}

}  // namespace winsim

using namespace winsim;

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName) {
    detail::RequirePassive("MmGetSystemRoutineAddress");
    std::u16string name = io::ToU16(systemRoutineName);
    {
        std::lock_guard<std::mutex> lock(io::g_routines.mutex);
        if (io::g_routines.hidden.count(name)) return nullptr;
    }
    // Export names are matched exactly, as the loader matches them.
    for (const auto& e : io::Exports())
        if (name == e.name) return e.address;
    return nullptr;
}
