// The registry: test controls, ZwOpenKey / ZwQueryValueKey and the driver's
// Parameters key.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "winsim/io/io.h"
#include "winsim/winsim.h"

using winsim::Machine;

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\regtest";

class IoRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { machine_ = &Machine::Boot(); }
    void TearDown() override { Machine::Shutdown(); }
    Machine& M() { return *machine_; }
    Machine* machine_ = nullptr;
};

NTSTATUS Open(HANDLE* h, const std::u16string& path, HANDLE root = nullptr, ACCESS_MASK access = KEY_READ) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(path.c_str()));
    name.Length = name.MaximumLength = (USHORT)(path.size() * 2);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(h, access, &oa);
}

NTSTATUS Query(HANDLE h, const std::u16string& value, KEY_VALUE_INFORMATION_CLASS cls, void* buffer, ULONG length,
               ULONG* result) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(value.c_str()));
    name.Length = name.MaximumLength = (USHORT)(value.size() * 2);
    return ZwQueryValueKey(h, &name, cls, buffer, length, result);
}

TEST_F(IoRegistryTest, ControlsRoundTripCaseInsensitively) {
    M().RegSetDword(kService + u"\\Parameters", u"Mode", 7);
    uint32_t v = 0;
    EXPECT_TRUE(M().RegGetDword(kService + u"\\PARAMETERS", u"mode", &v));
    EXPECT_EQ(v, 7u);
    EXPECT_TRUE(M().RegKeyExists(u"\\registry\\machine\\system\\currentcontrolset\\services\\REGTEST"));
    M().RegSetString(kService, u"Name", u"text");
    EXPECT_FALSE(M().RegGetDword(kService, u"Name", &v));  // not a DWORD
    EXPECT_FALSE(M().RegGetDword(kService, u"Missing", &v));
    M().RegDeleteTree(kService);
    EXPECT_FALSE(M().RegKeyExists(kService + u"\\Parameters"));
    EXPECT_FALSE(M().RegKeyExists(kService));
    EXPECT_TRUE(M().RegKeyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"));
}

TEST_F(IoRegistryTest, OpenAbsoluteRelativeAndMissing) {
    M().RegCreateKey(kService + u"\\Parameters\\Deep");
    HANDLE h = nullptr;
    ASSERT_EQ(Open(&h, kService), STATUS_SUCCESS);
    HANDLE sub = nullptr;
    EXPECT_EQ(Open(&sub, u"parameters\\deep", h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
    EXPECT_EQ(Open(&sub, u"Nope", h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sub, nullptr);
    EXPECT_NE(Open(&sub, u"\\Parameters", h), STATUS_SUCCESS);  // relative names have no leading backslash
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    EXPECT_EQ(Open(&h, kService + u"\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(&h, u"\\Registry\\Machine\\Nope\\Deeper"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_NE(Open(&h, u"Registry\\Machine"), STATUS_SUCCESS);  // absolute names start at the root
    EXPECT_EQ(Open(&h, kService, (HANDLE)(uintptr_t)0x7770), STATUS_INVALID_HANDLE);
    EXPECT_EQ(winsim::detail::OpenKernelHandles(), 0u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoRegistryTest, PartialInformationBufferSizes) {
    M().RegSetBinary(kService, u"Blob", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    HANDLE h = nullptr;
    ASSERT_EQ(Open(&h, kService), STATUS_SUCCESS);
    const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG required = header + 10;
    alignas(8) uint8_t buffer[64];

    ULONG result = 0;
    EXPECT_EQ(Query(h, u"Blob", KeyValuePartialInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, required);
    result = 0;
    EXPECT_EQ(Query(h, u"Blob", KeyValuePartialInformation, buffer, header - 1, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, required);

    std::memset(buffer, 0xEE, sizeof buffer);
    result = 0;
    EXPECT_EQ(Query(h, u"Blob", KeyValuePartialInformation, buffer, header, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, required);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, (ULONG)REG_BINARY);
    EXPECT_EQ(info->DataLength, 10u);
    EXPECT_EQ(buffer[header], 0xEE) << "data written into a buffer too small for it";

    EXPECT_EQ(Query(h, u"Blob", KeyValuePartialInformation, buffer, required - 1, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Query(h, u"blob", KeyValuePartialInformation, buffer, required, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, required);
    EXPECT_EQ(info->Data[0], 1);
    EXPECT_EQ(info->Data[9], 10);

    EXPECT_EQ(Query(h, u"Missing", KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(IoRegistryTest, DwordStringBasicAndFullInformation) {
    M().RegSetDword(kService, u"Level", 0x12345678);
    M().RegSetString(kService, u"Path", u"C:\\x");
    HANDLE h = nullptr;
    ASSERT_EQ(Open(&h, kService), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[128];
    ULONG result = 0;
    ASSERT_EQ(Query(h, u"Level", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
    ASSERT_EQ(info->DataLength, 4u);
    uint32_t level;
    std::memcpy(&level, info->Data, 4);
    EXPECT_EQ(level, 0x12345678u);

    ASSERT_EQ(Query(h, u"Path", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(info->Type, (ULONG)REG_SZ);
    EXPECT_EQ(info->DataLength, 10u);  // four characters and the terminator
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(info->Data)), u"C:\\x");

    // Basic: TitleIndex, Type, NameLength, Name.
    ASSERT_EQ(Query(h, u"level", KeyValueBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 12u + 10u);
    ULONG words[3];
    std::memcpy(words, buffer, sizeof words);
    EXPECT_EQ(words[1], (ULONG)REG_DWORD);
    EXPECT_EQ(words[2], 10u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + 12), 5), u"Level");  // name as created

    // Full: TitleIndex, Type, DataOffset, DataLength, NameLength, Name, data.
    ASSERT_EQ(Query(h, u"Level", KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    ULONG full[5];
    std::memcpy(full, buffer, sizeof full);
    EXPECT_EQ(full[3], 4u);
    EXPECT_EQ(full[4], 10u);
    EXPECT_GE(full[2], 20u + 10u);
    std::memcpy(&level, buffer + full[2], 4);
    EXPECT_EQ(level, 0x12345678u);
    EXPECT_EQ(result, full[2] + 4);
    EXPECT_EQ(Query(h, u"Level", KeyValueFullInformation, buffer, 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(IoRegistryTest, AccessAndDeletedKeys) {
    M().RegSetDword(kService, u"Level", 1);
    HANDLE h = nullptr;
    ASSERT_EQ(Open(&h, kService, nullptr, KEY_SET_VALUE), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[64];
    ULONG result = 0;
    EXPECT_EQ(Query(h, u"Level", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    ASSERT_EQ(Open(&h, kService, nullptr, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Query(h, u"Level", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    M().RegDeleteTree(kService);
    EXPECT_NE(Query(h, u"Level", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    HANDLE sub = nullptr;
    EXPECT_NE(Open(&sub, u"Parameters", h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(Query(h, u"Level", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
}

TEST_F(IoRegistryTest, RegistryCallsArePassiveOnly) {
    M().RegCreateKey(kService);
    HANDLE h = nullptr;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    NTSTATUS status = Open(&h, kService);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(M().Verifier().Clean());
    ZwClose(h);
}

// ---------------------------------------------------------------- a driver reading its parameters

namespace param_driver {

uint32_t g_level = 0;
NTSTATUS g_openStatus = 0;
bool g_leakHandle = false;
HANDLE g_leaked = nullptr;
std::u16string g_registryPath;
std::u16string g_driverName;

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_registryPath = winsim::io::ToU16(registryPath);
    g_driverName = winsim::io::ToU16(&driver->DriverName);
    driver->DriverUnload = Unload;
    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, WSTR("IoOpenDriverRegistryKey"));
    auto open = reinterpret_cast<decltype(&IoOpenDriverRegistryKey)>(MmGetSystemRoutineAddress(&routine));
    if (!open) return STATUS_NOT_FOUND;
    HANDLE key = nullptr;
    g_openStatus = open(driver, DriverRegKeyParameters, KEY_READ, 0, &key);
    if (!NT_SUCCESS(g_openStatus)) return STATUS_SUCCESS;  // defaults
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, WSTR("Level"));
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4];
    ULONG result = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof buffer, &result))) {
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
        if (info->Type == REG_DWORD && info->DataLength == 4) std::memcpy(&g_level, info->Data, 4);
    }
    if (g_leakHandle) g_leaked = key;
    else ZwClose(key);
    return STATUS_SUCCESS;
}

}  // namespace param_driver

class IoDriverKeyTest : public IoRegistryTest {
protected:
    void SetUp() override {
        IoRegistryTest::SetUp();
        param_driver::g_level = 0;
        param_driver::g_openStatus = 0;
        param_driver::g_leakHandle = false;
        M().RegisterDriverImage(u"regtest.sys", param_driver::Entry);
    }
};

TEST_F(IoDriverKeyTest, ServiceKeyAndParameters) {
    ASSERT_EQ(M().LoadDriver(u"regtest", u"regtest.sys"), STATUS_SUCCESS);
    EXPECT_EQ(param_driver::g_openStatus, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(param_driver::g_registryPath, kService);
    EXPECT_EQ(param_driver::g_driverName, u"\\FileSystem\\regtest");
    EXPECT_TRUE(M().RegKeyExists(kService));
    uint32_t type = 0;
    EXPECT_TRUE(M().RegGetDword(kService, u"Type", &type));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(&h, kService), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[256];
    ULONG result = 0;
    ASSERT_EQ(Query(h, u"ImagePath", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(info->Data)), u"\\SystemRoot\\System32\\drivers\\regtest.sys");
    ZwClose(h);
    ASSERT_EQ(M().UnloadDriver(u"regtest"), STATUS_SUCCESS);

    M().RegSetDword(kService + u"\\Parameters", u"Level", 42);
    M().RegSetDword(kService, u"Type", 1);  // a plain kernel driver
    ASSERT_EQ(M().LoadDriver(u"regtest", u"regtest.sys"), STATUS_SUCCESS);
    EXPECT_EQ(param_driver::g_openStatus, STATUS_SUCCESS);
    EXPECT_EQ(param_driver::g_level, 42u);
    EXPECT_EQ(param_driver::g_driverName, u"\\Driver\\regtest");
    ASSERT_EQ(M().UnloadDriver(u"regtest"), STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoDriverKeyTest, KeyHandleLeftOpenIsAViolation) {
    M().RegSetDword(kService + u"\\Parameters", u"Level", 1);
    param_driver::g_leakHandle = true;
    ASSERT_EQ(M().LoadDriver(u"regtest", u"regtest.sys"), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"regtest"), STATUS_SUCCESS);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("IoOpenDriverRegistryKey"), std::string::npos) << report.violations[0];
    ZwClose(param_driver::g_leaked);
}

TEST_F(IoDriverKeyTest, UnknownDriverObjectIsRefused) {
    DRIVER_OBJECT fake{};
    HANDLE h = nullptr;
    EXPECT_EQ(IoOpenDriverRegistryKey(&fake, DriverRegKeyParameters, KEY_READ, 0, &h), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h, nullptr);
}

}  // namespace
