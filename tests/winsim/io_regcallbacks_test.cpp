// Registry callbacks of the simulated machine: registration, the pre- and
// post-open notifications of key opens by processes, ReturnStatus and
// STATUS_CALLBACK_BYPASS, the key object a callback must release, unregistering
// while a callback runs, and what the verifier reports.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "winsim/winsim.h"

namespace {

using winsim::Machine;

void Unload(PDRIVER_OBJECT) {}
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

struct Seen {
    char which;
    REG_NOTIFY_CLASS cls;
    PEPROCESS current;
    std::u16string name;
    PVOID rootObject;
    ULONG_PTR version;
    PVOID object;
    NTSTATUS status;
    PVOID callContext;
};
std::mutex g_mu;
std::vector<Seen> g_seen;
std::function<NTSTATUS(char, REG_NOTIFY_CLASS, PVOID)> g_act;

NTSTATUS Record(char which, PVOID arg1, PVOID arg2) {
    auto cls = (REG_NOTIFY_CLASS)(ULONG_PTR)arg1;
    Seen s{which, cls, PsGetCurrentProcess(), u"", nullptr, 0, nullptr, 0, nullptr};
    if (cls == RegNtPreOpenKeyEx) {
        auto* pre = static_cast<PREG_OPEN_KEY_INFORMATION_V1>(arg2);
        s.name.assign((const char16_t*)pre->CompleteName->Buffer, pre->CompleteName->Length / 2);
        s.rootObject = pre->RootObject;
        s.version = pre->Version;
        pre->CallContext = (PVOID)(ULONG_PTR)which;
    } else if (cls == RegNtPostOpenKeyEx) {
        auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(arg2);
        s.object = post->Object;
        s.status = post->Status;
        s.callContext = post->CallContext;
    }
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_seen.push_back(s);
    }
    return g_act ? g_act(which, cls, arg2) : STATUS_SUCCESS;
}
NTSTATUS CallbackA(PVOID, PVOID a1, PVOID a2) { return Record('A', a1, a2); }
NTSTATUS CallbackB(PVOID, PVOID a1, PVOID a2) { return Record('B', a1, a2); }

class RegCallbacksTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ = &Machine::Boot();
        g_seen.clear();
        g_act = nullptr;
        m_->RegisterDriverImage(u"cmtest.sys", Entry);
        ASSERT_EQ(m_->LoadDriver(u"cmtest", u"cmtest.sys"), STATUS_SUCCESS);
        m_->RegCreateKey(u"\\Registry\\Machine\\Software\\Acme\\Settings");
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\regedit.exe";
        opener_ = m_->StartProcess(o);
    }
    void TearDown() override {
        g_act = nullptr;
        Machine::Shutdown();
    }
    NTSTATUS Register(PEX_CALLBACK_FUNCTION fn, const char16_t* altitude, LARGE_INTEGER* cookie) {
        UNICODE_STRING a;
        RtlInitUnicodeString(&a, (PCWSTR)altitude);
        return CmRegisterCallbackEx(fn, &a, m_->DriverObject(u"cmtest"), nullptr, cookie, nullptr);
    }
    NTSTATUS Open(const std::u16string& name, HANDLE* key) {
        winsim::KeyOpenRequest r;
        r.name = name;
        return m_->OpenKey(opener_, r, key);
    }
    Machine* m_ = nullptr;
    PEPROCESS opener_ = nullptr;
};

TEST_F(RegCallbacksTest, RegistrationByAltitudeAndCookie) {
    LARGE_INTEGER a{}, b{}, c{};
    ASSERT_EQ(Register(CallbackA, u"380831", &a), STATUS_SUCCESS);
    EXPECT_EQ(Register(CallbackB, u"380831", &b), STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    ASSERT_EQ(Register(CallbackB, u"380900", &b), STATUS_SUCCESS);
    EXPECT_NE(a.QuadPart, b.QuadPart);
    EXPECT_EQ(m_->RegistryCallbacks(), 2u);
    c.QuadPart = a.QuadPart + b.QuadPart + 77;
    EXPECT_EQ(CmUnRegisterCallback(c), STATUS_INVALID_PARAMETER);

    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Software\\Acme\\Settings", &key), STATUS_SUCCESS);
    ASSERT_EQ(g_seen.size(), 4u);
    // Highest altitude first, pre then post, each callback getting back its CallContext.
    EXPECT_EQ(g_seen[0].which, 'B');
    EXPECT_EQ(g_seen[0].cls, RegNtPreOpenKeyEx);
    EXPECT_EQ(g_seen[0].name, u"\\Registry\\Machine\\Software\\Acme\\Settings");
    EXPECT_NE(g_seen[0].rootObject, nullptr);
    EXPECT_EQ(g_seen[0].version, 1u);
    EXPECT_EQ(g_seen[0].current, opener_);
    EXPECT_EQ(g_seen[1].which, 'A');
    EXPECT_EQ(g_seen[2].which, 'B');
    EXPECT_EQ(g_seen[2].cls, RegNtPostOpenKeyEx);
    EXPECT_EQ(g_seen[2].status, STATUS_SUCCESS);
    EXPECT_NE(g_seen[2].object, nullptr);
    EXPECT_EQ(g_seen[2].callContext, (PVOID)(ULONG_PTR)'B');
    EXPECT_EQ(g_seen[3].callContext, (PVOID)(ULONG_PTR)'A');
    EXPECT_EQ(m_->KeyObjectsAlive(), 1u);
    m_->CloseKey(key);
    EXPECT_EQ(m_->KeyObjectsAlive(), 0u);

    g_seen.clear();
    EXPECT_EQ(Open(u"\\Registry\\Machine\\Software\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(g_seen.size(), 4u);
    EXPECT_EQ(g_seen[2].status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(g_seen[2].object, nullptr);

    EXPECT_EQ(CmUnRegisterCallback(a), STATUS_SUCCESS);
    EXPECT_EQ(CmUnRegisterCallback(a), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CmUnRegisterCallback(b), STATUS_SUCCESS);
    ASSERT_EQ(m_->UnloadDriver(u"cmtest"), STATUS_SUCCESS);
    EXPECT_TRUE(m_->Verifier().Clean()) << m_->Verifier().ToString();
}

TEST_F(RegCallbacksTest, ReturnStatusCountsOnlyWithBypassAndTheKeyObjectMustBeReleased) {
    LARGE_INTEGER a{};
    ASSERT_EQ(Register(CallbackA, u"380831", &a), STATUS_SUCCESS);
    const std::u16string name = u"\\Registry\\Machine\\Software\\Acme\\Settings";
    HANDLE key = nullptr;

    // ReturnStatus without STATUS_CALLBACK_BYPASS: ignored, the process gets the key.
    g_act = [](char, REG_NOTIFY_CLASS cls, PVOID arg) {
        if (cls == RegNtPostOpenKeyEx) static_cast<PREG_POST_OPERATION_INFORMATION>(arg)->ReturnStatus = STATUS_ACCESS_DENIED;
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(Open(name, &key), STATUS_SUCCESS);
    m_->CloseKey(key);

    // With it, and the key object released: refused, nothing left.
    g_act = [](char, REG_NOTIFY_CLASS cls, PVOID arg) {
        if (cls != RegNtPostOpenKeyEx) return STATUS_SUCCESS;
        auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(arg);
        ObDereferenceObject(post->Object);
        post->ReturnStatus = STATUS_ACCESS_DENIED;
        return STATUS_CALLBACK_BYPASS;
    };
    EXPECT_EQ(Open(name, &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(m_->KeyObjectsAlive(), 0u);
    EXPECT_TRUE(m_->Verifier().Clean()) << m_->Verifier().ToString();

    // Without releasing it: the verifier names the leak.
    g_act = [](char, REG_NOTIFY_CLASS cls, PVOID arg) {
        if (cls != RegNtPostOpenKeyEx) return STATUS_SUCCESS;
        static_cast<PREG_POST_OPERATION_INFORMATION>(arg)->ReturnStatus = STATUS_ACCESS_DENIED;
        return STATUS_CALLBACK_BYPASS;
    };
    EXPECT_EQ(Open(name, &key), STATUS_ACCESS_DENIED);
    auto report = m_->Verifier();
    ASSERT_EQ(report.violations.size(), 1u);
    EXPECT_NE(report.violations[0].find("key object leaked: a registry callback of cmtest"), std::string::npos);
    m_->ClearVerifier();

    // A failing pre-notification ends the open; no post-notification follows.
    g_seen.clear();
    g_act = [](char, REG_NOTIFY_CLASS cls, PVOID) {
        return cls == RegNtPreOpenKeyEx ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    };
    EXPECT_EQ(Open(name, &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(CmUnRegisterCallback(a), STATUS_SUCCESS);
}

TEST_F(RegCallbacksTest, VerifierReportsWhatIsLeftAtUnload) {
    LARGE_INTEGER a{};
    m_->FailNthCall(winsim::FaultClass::Registration, 1);
    EXPECT_EQ(Register(CallbackA, u"380831", &a), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(m_->InjectedFaultHit());
    EXPECT_EQ(m_->RegistryCallbacks(), 0u);
    ASSERT_EQ(Register(CallbackA, u"380831", &a), STATUS_SUCCESS);
    // A key name taken and never given back.
    g_act = [&a](char, REG_NOTIFY_CLASS cls, PVOID arg) {
        if (cls == RegNtPreOpenKeyEx) {
            PCUNICODE_STRING name = nullptr;
            CmCallbackGetKeyObjectIDEx(&a, static_cast<PREG_OPEN_KEY_INFORMATION>(arg)->RootObject, nullptr, &name, 0);
        }
        return STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Software\\Acme", &key), STATUS_SUCCESS);
    m_->CloseKey(key);
    ASSERT_EQ(m_->UnloadDriver(u"cmtest"), STATUS_SUCCESS);
    std::string report = m_->Verifier().ToString();
    EXPECT_NE(report.find("registry callback still registered at unload of cmtest (CmRegisterCallbackEx, altitude 380831)"),
              std::string::npos) << report;
    EXPECT_NE(report.find("key object name from CmCallbackGetKeyObjectIDEx never released at unload of cmtest (\\Registry)"),
              std::string::npos) << report;
    EXPECT_EQ(m_->RegistryCallbacks(), 0u);
}

TEST_F(RegCallbacksTest, UnregisteringWaitsForCallbacksInProgress) {
    LARGE_INTEGER a{};
    ASSERT_EQ(Register(CallbackA, u"380831", &a), STATUS_SUCCESS);
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::atomic<bool> returned{false}, unregistered{false};
    g_act = [&](char, REG_NOTIFY_CLASS cls, PVOID) {
        if (cls == RegNtPostOpenKeyEx) {
            std::unique_lock<std::mutex> lock(mu);
            entered = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
            returned = true;
        }
        return STATUS_SUCCESS;
    };
    std::thread opener([&] {
        HANDLE key = nullptr;
        EXPECT_EQ(Open(u"\\Registry\\Machine\\Software\\Acme", &key), STATUS_SUCCESS);
        m_->CloseKey(key);
    });
    {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return entered; });
    }
    std::thread remover([&] {
        EXPECT_EQ(CmUnRegisterCallback(a), STATUS_SUCCESS);
        EXPECT_TRUE(returned.load()) << "CmUnRegisterCallback returned while the callback ran";
        unregistered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(unregistered.load());
    {
        std::lock_guard<std::mutex> lock(mu);
        release = true;
    }
    cv.notify_all();
    opener.join();
    remover.join();
    EXPECT_TRUE(unregistered.load());
    g_seen.clear();
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Software\\Acme", &key), STATUS_SUCCESS);
    m_->CloseKey(key);
    EXPECT_TRUE(g_seen.empty()) << "no callback after unregistering";
    ASSERT_EQ(m_->UnloadDriver(u"cmtest"), STATUS_SUCCESS);
    EXPECT_TRUE(m_->Verifier().Clean()) << m_->Verifier().ToString();
}

}  // namespace
