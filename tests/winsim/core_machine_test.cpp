// Machine lifetime, debug output, caller-buffer probes and bug checks.
#include <sys/stat.h>

#include <filesystem>

#include "core_fixture.h"

namespace {

using coretest::CoreTest;

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(MachineLifetimeTest, CurrentWithoutAMachineBugChecks) {
    winsim::Machine::Shutdown();
    EXPECT_FALSE(winsim::Machine::Running());
    try {
        winsim::Machine::Current();
        FAIL() << "Current() returned with no machine";
    } catch (const winsim::BugCheck& bc) {
        EXPECT_NE(bc.report.find("no machine running"), std::string::npos) << bc.report;
    }
    // Kernel routines needing the machine bug-check the same way, not crash.
    EXPECT_THROW(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, winsim::PoolTag("test")), winsim::BugCheck);
}

TEST(MachineLifetimeTest, TemporaryRootIsCreatedAndRemoved) {
    winsim::Machine::Boot();
    std::string root = winsim::detail::RootDir();
    EXPECT_EQ(root.rfind("/tmp/", 0), 0u) << root;
    EXPECT_TRUE(IsDirectory(root));
    std::string second;
    {
        winsim::Machine::Boot();  // replaces the first machine
        second = winsim::detail::RootDir();
        EXPECT_NE(second, root);
        EXPECT_FALSE(IsDirectory(root));
    }
    winsim::Machine::Shutdown();
    EXPECT_FALSE(IsDirectory(second));
    EXPECT_FALSE(winsim::Machine::Running());
}

TEST(MachineLifetimeTest, GivenRootIsCreatedAndKept) {
    char pattern[] = "/tmp/winsim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string root = std::string(pattern) + "/nested/root";
    winsim::MachineOptions options;
    options.root = root;
    winsim::Machine::Boot(options);
    EXPECT_EQ(winsim::detail::RootDir(), root);
    EXPECT_TRUE(IsDirectory(root));
    EXPECT_EQ(winsim::detail::Options().root, root);
    winsim::Machine::Shutdown();
    EXPECT_TRUE(IsDirectory(root));
    std::filesystem::remove_all(pattern);
}

TEST(MachineLifetimeTest, BootTwiceResetsAllState) {
    winsim::Machine& m = winsim::Machine::Boot();
    const ULONG tag = winsim::PoolTag("rset");
    ExAllocatePool2(POOL_FLAG_NON_PAGED, 32, tag);  // left for the next boot to discard
    DbgPrint("hello %d\n", 1);
    winsim::detail::Violation("something");
    m.AdvanceClock(5000);
    m.FailNthCall(winsim::FaultClass::Allocation, 1);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WSTR("\\BaseNamedObjects\\Reset"));
    HANDLE handle;
    ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, tag);  // consumes the injected failure
    ASSERT_NE(IoCreateNotificationEvent(&name, &handle), nullptr);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    (void)old;

    winsim::Machine& again = winsim::Machine::Boot();
    EXPECT_EQ(again.PoolAllocationsTotal(), 0u);
    EXPECT_EQ(again.PoolAllocations(tag), 0u);
    EXPECT_TRUE(again.DebugOutput().empty());
    EXPECT_TRUE(again.Verifier().Clean());
    EXPECT_EQ(again.TickCount(), 0u);
    EXPECT_FALSE(again.InjectedFaultHit());
    EXPECT_EQ(again.FailableCallsSeen(winsim::FaultClass::Any), 0u);
    EXPECT_FALSE(again.NamedObjectExists(u"\\BaseNamedObjects\\Reset"));
    EXPECT_EQ(winsim::detail::OpenKernelHandles(), 0u);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    winsim::Machine::Shutdown();
}

class DebugOutputTest : public CoreTest {};

TEST_F(DebugOutputTest, OneEntryPerCallFormattedTheWindowsWay) {
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "kx4grd: %s=%d\n", "count", 3);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WSTR("C:\\x.txt"));
    DbgPrint("file %wZ", &name);
    auto lines = M().DebugOutput();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "kx4grd: count=3\n");
    EXPECT_EQ(lines[1], "file C:\\x.txt");
    EXPECT_EQ(M().DebugText(), "kx4grd: count=3\nfile C:\\x.txt");
    EXPECT_TRUE(M().DebugContains("count=3"));
    EXPECT_EQ(M().DebugCount("kx4grd"), 1u);
    EXPECT_EQ(M().DebugCount("absent"), 0u);
    M().ClearDebugOutput();
    EXPECT_TRUE(M().DebugOutput().empty());
}

TEST_F(DebugOutputTest, CallableAtAnyIrqlAndFromManyThreads) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    DbgPrint("high\n");
    KeLowerIrql(old);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "t%d\n", t);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(M().DebugOutput().size(), 401u);
    EXPECT_EQ(M().DebugCount("t2\n"), 100u);
    EXPECT_TRUE(M().Verifier().Clean());
}

class ProbeTest : public CoreTest {};

NTSTATUS ProbeRead(const void* p, SIZE_T length, ULONG alignment) {
    KX_TRY {
        ProbeForRead(p, length, alignment);
    }
    KX_EXCEPT {
        return KX_EXCEPTION_CODE();
    }
    return STATUS_SUCCESS;
}

NTSTATUS ProbeWrite(void* p, SIZE_T length, ULONG alignment) {
    KX_TRY {
        ProbeForWrite(p, length, alignment);
    }
    KX_EXCEPT {
        return KX_EXCEPTION_CODE();
    }
    return STATUS_SUCCESS;
}

TEST_F(ProbeTest, RaisesTheRightCodes) {
    alignas(8) char buffer[64] = {};
    EXPECT_EQ(ProbeRead(buffer, sizeof buffer, 8), STATUS_SUCCESS);
    EXPECT_EQ(ProbeWrite(buffer, sizeof buffer, 1), STATUS_SUCCESS);
    EXPECT_EQ(ProbeRead(buffer + 1, 8, 4), STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(ProbeWrite(buffer + 2, 8, 4), STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(ProbeRead(nullptr, 4, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeRead(reinterpret_cast<void*>(UINTPTR_MAX - 8), 16, 1), STATUS_ACCESS_VIOLATION);
    // A zero length never raises, whatever the address.
    EXPECT_EQ(ProbeRead(nullptr, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(ProbeWrite(buffer + 1, 0, 8), STATUS_SUCCESS);
}

TEST_F(ProbeTest, InvalidBufferIsRejectedEverywhereItOverlaps) {
    auto* bad = static_cast<char*>(M().InvalidBuffer(100));
    EXPECT_EQ(ProbeRead(bad, 100, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeWrite(bad + 50, 1, 1), STATUS_ACCESS_VIOLATION);
    alignas(8) char good[16] = {};
    EXPECT_EQ(ProbeRead(good, sizeof good, 1), STATUS_SUCCESS);
    EXPECT_FALSE(MmIsAddressValid(bad));
    EXPECT_FALSE(MmIsAddressValid(nullptr));
    EXPECT_TRUE(MmIsAddressValid(good));
    EXPECT_FALSE(winsim::detail::IsRangeAccessible(bad - 4, 8));  // straddles the start
    EXPECT_TRUE(winsim::detail::IsRangeAccessible(bad - 4, 4));   // ends right before it
}

TEST_F(ProbeTest, AccessViolationIsCaughtBySehMacros) {
    NTSTATUS code = STATUS_SUCCESS;
    KX_TRY {
        winsim::detail::RaiseAccessViolation();
    }
    KX_EXCEPT {
        code = KX_EXCEPTION_CODE();
    }
    EXPECT_EQ(code, STATUS_ACCESS_VIOLATION);
}

TEST(ProbeDeathTest, UnprobedTouchOfAnInvalidBufferFaultsForReal) {
    // The child that dies cannot shut its machine down, so both processes use a
    // root that this (parent) process removes.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    winsim::MachineOptions options;
    options.root = "/tmp/winsim-death-test-root";
    winsim::Machine& m = winsim::Machine::Boot(options);
    auto* bad = static_cast<volatile char*>(m.InvalidBuffer(16));
    EXPECT_DEATH({ (void)bad[0]; }, "");
    winsim::Machine::Shutdown();
    std::filesystem::remove_all(options.root);
}

class BugCheckTest : public CoreTest {};

TEST_F(BugCheckTest, ReportsCodeParametersAndViolations) {
    winsim::detail::Violation("an earlier problem");
    bool caught = false;
    KX_TRY {
        try {
            KeBugCheckEx(0xDEAD, 1, 2, 3, 4);
        } catch (const winsim::BugCheck& bc) {
            caught = true;
            EXPECT_EQ(bc.code, 0xDEADu);
            EXPECT_EQ(bc.parameters[3], 4u);
            EXPECT_NE(bc.report.find("KeBugCheckEx 0x0000DEAD (0x1, 0x2, 0x3, 0x4)"), std::string::npos)
                << bc.report;
            EXPECT_NE(bc.report.find("an earlier problem"), std::string::npos) << bc.report;
            throw;
        }
    }
    KX_EXCEPT {
        ADD_FAILURE() << "the SEH macro swallowed a bug check";
    }
    catch (const winsim::BugCheck&) {
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(ViolationsWith("bug check"), 1u);  // recorded even if someone swallows it
}

}  // namespace
