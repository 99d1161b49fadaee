// The shared library exports the 32 names of its module definition file and
// nothing else.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExports = {
    "Kx4grdCleanup", "Kx4grdInit", "Kx4grdSetProtectPath", "Kx4grdDelProtectPath", "Kx4grdStartAndStop",
    "Kx4grdSetPid", "Kx4grdRemovePid", "Kx4grdDebug", "Kx4grdSetProcessPath", "Kx4grdDelProcessPath",
    "Kx4grdSetFolderProtect", "Kx4grdSetShareWatch", "Kx4grdSetFileName", "Kx4grdSetDeleteFile",
    "Kx4grdSetTerminateProcess", "Kx4grdSetHook", "Kx4grdSetPolicy", "Kx4grdProcessProtect",
    "Kx4grdSetProcessProtectName", "Kx4grdDelProcessProtectName", "Kx4grdSetProcessProtectId",
    "Kx4grdDelProcessProtectId", "Kx4grdSetRegProtect", "Kx4grdSetRegProtectName", "Kx4grdDelRegProtectName",
    "Kx4grdSetDeviceProtect", "Kx4grdSetUsbDiskException", "Kx4grdSetUsbPortException",
    "Kx4grdDelUsbPortException", "Kx4grdDelUsbDiskException", "Kx4grdClearUsbDiskException", "Kx4grdSetLogType",
};

TEST(ExportedSymbols, TheDynamicSymbolTableHoldsExactlyThe32Exports) {
    ASSERT_EQ(kExports.size(), 32u);
    const std::string command = std::string("nm -D --defined-only '") + KX_CTRL_LIBRARY + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) != 0) {
        output.append(chunk, n);
    }
    ASSERT_EQ(pclose(pipe), 0) << output;
    std::set<std::string> defined;
    std::istringstream lines(output);
    std::string address, type, name;
    while (lines >> address >> type >> name) {
        defined.insert(name.substr(0, name.find('@')));
    }
    EXPECT_EQ(defined, kExports) << output;
}

TEST(ExportedSymbols, EveryExportResolvesAndInternalsDoNot) {
    void* library = dlopen(KX_CTRL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const std::string& name : kExports) {
        EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
    }
    for (const char* internal : {"g_interface", "g_reporter", "g_serviceRecord", "_ZN10DiagLogger8InstanceEv",
                                 "_ZN10CInterface6OpenExEv", "_Z13DriveToNtPathPKDsPDsm"}) {
        EXPECT_EQ(dlsym(library, internal), nullptr) << internal;
    }
    dlclose(library);
}

}  // namespace
