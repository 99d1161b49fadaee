// The registry API on the hive the kernel sees: creation and opening with their
// dispositions, values with their types and sizes, and the Windows errors.
#include <cstring>

#include "tests/winsim/um_scm_fixture.h"

namespace umtest {
namespace {

const char16_t kSoftware[] = u"\\Registry\\Machine\\Software";

class RegistryApiTest : public ServicesTest {};

TEST_F(RegistryApiTest, CreateOpenAndValuesMeetTheKernelsView) {
    AsHost([&] {
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE\\Test\\Deep"), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
        DWORD value = 0x11223344;
        ASSERT_EQ(RegSetValueExW(key, W(u"ProcessCreate"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                  ERROR_SUCCESS);
        const char16_t text[] = u"380830";
        ASSERT_EQ(RegSetValueExW(key, W(u"Altitude"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

        // The kernel's view: same hive, names without regard to case.
        uint32_t seen = 0;
        EXPECT_TRUE(machine().RegGetDword(std::u16string(kSoftware) + u"\\test\\deep", u"processcreate", &seen));
        EXPECT_EQ(seen, 0x11223344u);
        winsim::io::RegValue raw;
        ASSERT_TRUE(RawValue(std::u16string(kSoftware) + u"\\Test\\Deep", u"Altitude", &raw));
        EXPECT_EQ(raw.type, (ULONG)REG_SZ);
        EXPECT_EQ(raw.data.size(), 14u);

        // Opening it again: an existing key, values read back with type and size.
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(u"Software\\test\\deep"), 0, nullptr, 0, KEY_READ, nullptr,
                                  &key, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
        DWORD type = 0, size = 0;
        ASSERT_EQ(RegQueryValueExW(key, W(u"Altitude"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_SZ);
        EXPECT_EQ(size, 14u);
        BYTE small[4];
        size = sizeof small;
        EXPECT_EQ(RegQueryValueExW(key, W(u"Altitude"), nullptr, &type, small, &size), ERROR_MORE_DATA);
        EXPECT_EQ(size, 14u);
        WCHAR buffer[16] = {};
        size = sizeof buffer;
        ASSERT_EQ(RegQueryValueExW(key, W(u"Altitude"), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(size, 14u);
        EXPECT_EQ(std::memcmp(buffer, text, sizeof text), 0);
        EXPECT_EQ(RegQueryValueExW(key, W(u"Missing"), nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegQueryValueExW(key, W(u"Altitude"), nullptr, &type, reinterpret_cast<BYTE*>(buffer), nullptr),
                  ERROR_INVALID_PARAMETER);
        // Read access only: no writing.
        EXPECT_EQ(RegSetValueExW(key, W(u"x"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    });
}

TEST_F(RegistryApiTest, OpenErrors) {
    AsHost([&] {
        HKEY key = reinterpret_cast<HKEY>(0x1234);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE\\Nothing"), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE\\\\Test"), 0, KEY_READ, &key), ERROR_INVALID_NAME);
        EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x5678), W(u"x"), 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE"), 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(u"\\SOFTWARE\\x"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_BAD_PATHNAME);
        // A predefined key may be closed (nothing happens).
        EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

        // Relative to an open key, and creation below a key opened without that right.
        HKEY software = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE"), 0, KEY_QUERY_VALUE, &software), ERROR_SUCCESS);
        EXPECT_EQ(RegCreateKeyExW(software, W(u"New"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_FALSE(machine().RegKeyExists(std::u16string(kSoftware) + u"\\New"));
        machine().RegCreateKey(std::u16string(kSoftware) + u"\\Old");
        ASSERT_EQ(RegOpenKeyExW(software, W(u"Old"), 0, KEY_READ, &key), ERROR_SUCCESS);
        // A key deleted while open.
        machine().RegDeleteTree(std::u16string(kSoftware) + u"\\Old");
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(key, W(u"v"), nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
    });
}

TEST_F(RegistryApiTest, DeletingKeysAndValues) {
    machine().RegSetDword(std::u16string(kSoftware) + u"\\Tree\\A\\B", u"v", 1);
    machine().RegSetDword(std::u16string(kSoftware) + u"\\Tree", u"top", 1);
    AsHost([&] {
        HKEY software = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE"), 0, KEY_ALL_ACCESS, &software), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyW(software, W(u"Tree\\A")), ERROR_ACCESS_DENIED) << "it has a subkey";
        EXPECT_EQ(RegDeleteKeyW(software, W(u"Tree\\A\\B")), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyW(software, W(u"Tree\\A\\B")), ERROR_FILE_NOT_FOUND);
        HKEY tree = nullptr;
        ASSERT_EQ(RegOpenKeyExW(software, W(u"Tree"), 0, KEY_ALL_ACCESS, &tree), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteValueW(tree, W(u"missing")), ERROR_FILE_NOT_FOUND);
        // Without a subkey the key itself stays, empty.
        EXPECT_EQ(RegDeleteTreeW(tree, nullptr), ERROR_SUCCESS);
        EXPECT_TRUE(machine().RegKeyExists(std::u16string(kSoftware) + u"\\Tree"));
        EXPECT_FALSE(machine().RegKeyExists(std::u16string(kSoftware) + u"\\Tree\\A"));
        EXPECT_FALSE(machine().RegGetDword(std::u16string(kSoftware) + u"\\Tree", u"top", nullptr));
        EXPECT_EQ(RegDeleteTreeW(software, W(u"Tree")), ERROR_SUCCESS);
        EXPECT_FALSE(machine().RegKeyExists(std::u16string(kSoftware) + u"\\Tree"));
        RegCloseKey(tree);
        RegCloseKey(software);
    });
}

}  // namespace
}  // namespace umtest
