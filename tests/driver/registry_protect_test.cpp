// Registry protection end to end: key opens by simulated processes run the
// driver's registry callback, commands 26 to 28 change the key list and the
// protection, and unload leaves nothing registered or allocated.
#include "tests/support/driver_fixture.h"

#include "driver/protect/registry_protect.h"

namespace {

using kxtest::RawMessage;

constexpr char16_t kSettings[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Zarquel\\Settings";
constexpr char16_t kOther[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Other";
const ULONG kKeyTag = winsim::PoolTag("pfsc");

class RegistryProtectTest : public kxtest::DriverTest {
protected:
    void BeforeLoad() override {
        machine().RegCreateKey(u"\\Registry\\Machine\\Software\\Zarquel\\Settings");
        machine().RegCreateKey(u"\\Registry\\Machine\\Software\\Other");
    }

    PEPROCESS Process(const std::u16string& image, const char16_t* shortName = nullptr) {
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\" + image;
        if (shortName != nullptr) o.shortImageName = shortName;
        return machine().StartProcess(o);
    }
    PEPROCESS Regedit() { return Process(u"regedit.exe"); }

    // Opens as process; closes a handle it got. Returns the status the process saw.
    NTSTATUS Open(PEPROCESS process, const std::u16string& name, int nameLength = -1, HANDLE parent = nullptr) {
        winsim::KeyOpenRequest r;
        r.name = name;
        r.nameLength = nameLength;
        r.parent = parent;
        HANDLE key = nullptr;
        const size_t alive = machine().KeyObjectsAlive();
        NTSTATUS status = machine().OpenKey(process, r, &key);
        EXPECT_EQ(NT_SUCCESS(status), key != nullptr);
        if (key != nullptr) machine().CloseKey(key);
        EXPECT_EQ(machine().KeyObjectsAlive(), alive) << "a key object outlived its open";
        return status;
    }

    void Protect(uint32_t state) {
        RawMessage m(SET_REG_PROTECT);
        m.State(state);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    void AddKey(const std::u16string& key) {
        RawMessage m(SET_REG_KEY);
        m.Text(key);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    void DelKey(const std::u16string& key) {
        RawMessage m(DEL_REG_KEY);
        m.Text(key);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
};

TEST_F(RegistryProtectTest, EditorIsRefusedTheProtectedKeyInAnyCaseOthersAreNot) {
    Protect(1);
    EXPECT_TRUE(machine().DebugContains("kx4grd:StartRegFlt: CmRegisterCallback succeeded\n"));
    EXPECT_EQ(machine().RegistryCallbacks(), 1u);
    PEPROCESS regedit = Regedit();
    for (const char16_t* name : {kSettings, u"\\registry\\machine\\software\\zarquel\\settings",
                                 u"\\Registry\\Machine\\SOFTWARE\\ZaRqUeL\\SeTtInGs"}) {
        machine().ClearDebugOutput();
        EXPECT_EQ(Open(regedit, name), STATUS_ACCESS_DENIED);
        EXPECT_EQ(machine().DebugText(),
                  "kx4grd:RegFltCallback: PostPreOpenKeyInfoEx regdit access denined "
                  "(\\REGISTRY\\MACHINE\\SOFTWARE\\ZARQUEL\\SETTINGS)\n");
    }
    EXPECT_EQ(Open(Process(u"notepad.exe"), kSettings), STATUS_SUCCESS);
    EXPECT_EQ(Open(regedit, kOther), STATUS_SUCCESS);
    // Every editor of the table, and the first 15 characters of the longest one.
    EXPECT_EQ(Open(Process(u"RegScanner.exe"), kSettings), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(Process(u"regworkshop.exe"), kSettings), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(Process(u"RegWorkshopX64.exe"), kSettings), STATUS_ACCESS_DENIED);
    // A name that is longer than an entry is not that editor.
    EXPECT_EQ(Open(Process(u"regedit.exe2"), kSettings), STATUS_SUCCESS);
}

TEST_F(RegistryProtectTest, ProcessWithoutShortNameIsNotAnEditor) {
    Protect(1);
    EXPECT_EQ(Open(Process(u"regedit.exe", u""), kSettings), STATUS_SUCCESS);
    EXPECT_EQ(Open(Process(u"x.exe", u"regedit.exe"), kSettings), STATUS_ACCESS_DENIED);
}

TEST_F(RegistryProtectTest, NameLengthsBelow256CharactersAreExaminedLongerOnesAreNot) {
    // \Registry\Machine\Software\Zarquel\ then one component filling the rest.
    const std::u16string prefix = u"\\Registry\\Machine\\Software\\Zarquel\\";
    auto named = [&](size_t chars) { return prefix + std::u16string(chars - prefix.size(), u'k'); };
    for (size_t chars : {255u, 256u, 300u}) machine().RegCreateKey(named(chars));
    Protect(1);
    PEPROCESS regedit = Regedit();
    EXPECT_EQ(Open(regedit, named(255)), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(regedit, named(256)), STATUS_SUCCESS);
    EXPECT_EQ(Open(regedit, named(300)), STATUS_SUCCESS);
    // 511 bytes: 255 whole characters and half of one; examined as the 255.
    machine().ClearDebugOutput();
    EXPECT_EQ(Open(regedit, named(256), 511), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(machine().DebugContains("(\\REGISTRY\\MACHINE\\SOFTWARE\\ZARQUEL\\" + std::string(220, 'K') + ")"));
}

TEST_F(RegistryProtectTest, OddLengthNameIsMatchedOverItsWholeCharactersOnly) {
    // The name's buffer goes on with "l", but the length stops half-way into it:
    // the key opened is ...\Zarque, which no entry covers.
    machine().RegCreateKey(u"\\Registry\\Machine\\Software\\Zarque");
    Protect(1);
    const std::u16string name = u"\\Registry\\Machine\\Software\\Zarquel";
    EXPECT_EQ(Open(Regedit(), name, (int)(name.size() * 2 - 1)), STATUS_SUCCESS);
    EXPECT_EQ(Open(Regedit(), name), STATUS_ACCESS_DENIED);
}

TEST_F(RegistryProtectTest, OpenRelativeToParentIsMatchedWithTheParentsName) {
    Protect(1);
    PEPROCESS regedit = Regedit();
    winsim::KeyOpenRequest r;
    r.name = u"\\Registry\\Machine\\Software";
    HANDLE software = nullptr;
    ASSERT_EQ(machine().OpenKey(regedit, r, &software), STATUS_SUCCESS);
    machine().ClearDebugOutput();
    EXPECT_EQ(Open(regedit, u"zarquel\\Settings", -1, software), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(machine().DebugContains("(\\REGISTRY\\MACHINE\\SOFTWARE\\ZARQUEL\\SETTINGS)"));
    EXPECT_EQ(Open(regedit, u"Other", -1, software), STATUS_SUCCESS);
    EXPECT_EQ(Open(Process(u"notepad.exe"), u"Zarquel", -1, software), STATUS_SUCCESS);
    machine().CloseKey(software);
}

TEST_F(RegistryProtectTest, KeyListRules) {
    Protect(1);
    PEPROCESS regedit = Regedit();
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 2u);  // the two default keys
    Protect(1);
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 2u) << "defaults are added once";

    // An open that did not find its key is left alone; any other failure is refused.
    machine().ClearDebugOutput();
    EXPECT_EQ(Open(regedit, u"\\Registry\\Machine\\Software\\Zarquel\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:RegFltCallback: Operation did not fail with status not found as expected. Post status: "
              "0xc0000034\n");
    EXPECT_EQ(Open(regedit, u"\\Registry\\Machine\\Software\\Zarquel\\\\Settings"), STATUS_ACCESS_DENIED);

    // A longer key removes the first shorter entry contained in it, and only that.
    machine().ClearDebugOutput();
    DelKey(u"software\\zarquel\\Settings");
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: DEL_REG_KEY(SOFTWARE\\ZARQUEL\\SETTINGS)\n"));
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 1u);
    EXPECT_EQ(Open(regedit, kSettings), STATUS_SUCCESS);
    EXPECT_EQ(Open(regedit, u"\\Registry\\Machine\\Software\\Wow6432Node\\Zarquel"), STATUS_OBJECT_NAME_NOT_FOUND);

    // An entry in the middle of the path matches (substring, not prefix).
    AddKey(u"zarquel");
    EXPECT_EQ(Open(regedit, kSettings), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(regedit, kOther), STATUS_SUCCESS);
    // An empty entry matches every key.
    DelKey(u"\\Registry\\Machine\\Software\\Zarquel");  // removes "ZARQUEL"
    EXPECT_EQ(Open(regedit, kSettings), STATUS_SUCCESS);
    {
        RawMessage m(SET_REG_KEY);  // text of length 0
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Open(regedit, kOther), STATUS_ACCESS_DENIED);
    // An empty key empties the list.
    DelKey(u"");
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 0u);
    EXPECT_EQ(Open(regedit, kOther), STATUS_SUCCESS);
}

TEST_F(RegistryProtectTest, ProtectionOffAndOnAgain) {
    AddKey(u"Other");  // before registering: takes effect once active
    PEPROCESS regedit = Regedit();
    EXPECT_EQ(Open(regedit, kOther), STATUS_SUCCESS);
    Protect(1);
    EXPECT_EQ(Open(regedit, kOther), STATUS_ACCESS_DENIED);
    machine().ClearDebugOutput();
    Protect(0);
    EXPECT_EQ(machine().DebugText(), "kx4grd:Kx4GrdMssageProc: SET_REG_PROTECT(0)\n");
    EXPECT_EQ(Open(regedit, kSettings), STATUS_SUCCESS);
    EXPECT_EQ(machine().RegistryCallbacks(), 1u) << "the callback stays registered";
    machine().ClearDebugOutput();
    Protect(1);
    EXPECT_EQ(machine().DebugText(), "kx4grd:Kx4GrdMssageProc: SET_REG_PROTECT(1)\n");
    EXPECT_EQ(Open(regedit, kSettings), STATUS_ACCESS_DENIED) << "re-activated";
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 3u);
    Unload();
    EXPECT_EQ(machine().RegistryCallbacks(), 0u);
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 0u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:StopRegFlt: CmUnRegisterCallback succeeded\n"));
}

TEST_F(RegistryProtectTest, FailedRegistrationKeepsDefaultsAndRetrySucceeds) {
    machine().FailNthCall(winsim::FaultClass::Registration, 1);
    Protect(1);
    ASSERT_TRUE(machine().InjectedFaultHit());
    EXPECT_TRUE(machine().DebugContains("kx4grd:StartRegFlt: CmRegisterCallback failed. Status 0xc000009a\n"));
    EXPECT_EQ(machine().RegistryCallbacks(), 0u);
    EXPECT_EQ(Open(Regedit(), kSettings), STATUS_SUCCESS);
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 2u);
    Protect(1);
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 4u);  // appended again
    EXPECT_EQ(Open(Regedit(), kSettings), STATUS_ACCESS_DENIED);
}

TEST_F(RegistryProtectTest, UnloadWithoutRegisteringFreesTheKeys) {
    AddKey(u"SOFTWARE\\Zarquel");
    AddKey(u"Other");
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 2u);
    machine().ClearDebugOutput();
    Unload();
    EXPECT_EQ(machine().PoolAllocations(kKeyTag), 0u);
    EXPECT_FALSE(machine().DebugContains("CmUnRegisterCallback"));
}

TEST_F(RegistryProtectTest, DriverEntryStartsUnregistered) {
    // A second load in the same image starts from nothing registered.
    Protect(1);
    Unload();
    ASSERT_EQ(machine().LoadDriver(kxtest::kServiceName, kxtest::kImageName), STATUS_SUCCESS);
    loaded_ = true;
    EXPECT_EQ(ReadNoFence(&RegProtectActive), 0);
    connection_ = Connect(agent_);
    machine().ClearDebugOutput();
    Protect(1);
    EXPECT_TRUE(machine().DebugContains("kx4grd:StartRegFlt: CmRegisterCallback succeeded\n"));
    EXPECT_EQ(Open(Regedit(), kSettings), STATUS_ACCESS_DENIED);
}

}  // namespace
