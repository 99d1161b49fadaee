// kx4run: boots the simulated machine with a system disk and a USB flash disk, and
// runs a host process that loads kx4grdctrl and drives kx4grd through the library's
// exports only: Kx4grdInit installs and starts the driver, the policy and the
// protections are set, simulated processes act, and every line the reporter hands
// to the host's callback is printed beside the driver's traces. Kx4grdCleanup takes
// it all down again and the run ends with the verifier's verdict.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/kx4grd_common.h"
#include "ctrl/kx4grdctrl.h"
#include "driver/core/entry.h"
#include "winsim/winsim.h"

namespace {

const char16_t kService[] = u"kx4grd";
const char16_t kImage[] = u"kx4grd_x64.sys";
const char16_t kDriverDirectory[] = u"C:\\Program Files\\kx4";
const char16_t kHostImage[] = u"C:\\Program Files\\kx4\\kx4host.exe";

std::string Narrow(const WCHAR* text, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && text[i] != 0; ++i) {
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return out;
}


std::string Narrow(const std::u16string& text) { return Narrow(reinterpret_cast<const WCHAR*>(text.c_str()), text.size()); }

const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

// Output of the run: the driver's traces, the host's calls and the reporter's
// lines come from several threads, one line at a time.
std::mutex g_outputLock;
size_t g_hostLines = 0;
size_t g_policyLines = 0;
size_t g_usbDiskPolicyLines = 0;
size_t g_unknownLines = 0;

void WINAPI PrintHostLine(LPCWSTR line) {
    std::lock_guard<std::mutex> lock(g_outputLock);
    const std::string text = Narrow(line, 2048);
    std::printf("  host  | %s\n", text.c_str());
    ++g_hostLines;
    if (text.find(",POLICY(4),") != std::string::npos) ++g_policyLines;
    if (text.find(",POLICY(4),BDC_USB_DISK(3),") != std::string::npos) ++g_usbDiskPolicyLines;
    if (text.find(",UNKNWON,") != std::string::npos) ++g_unknownLines;
    std::fflush(stdout);
}

class Runner {
public:
    Runner(winsim::Machine& machine, PEPROCESS host) : machine_(machine), host_(host) {}

    // Prints the debug lines the last step produced, then forgets them.
    void FlushTraces() {
        std::lock_guard<std::mutex> lock(g_outputLock);
        for (const std::string& line : machine_.DebugOutput()) {
            std::printf("  trace | %s", line.c_str());
            if (line.empty() || line.back() != '\n') {
                std::printf("\n");
            }
        }
        machine_.ClearDebugOutput();
        std::fflush(stdout);
    }

    void Say(const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(g_outputLock);
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        }
    }

    // Calls one export as the host and prints its result.
    INT Call(const std::string& what, const std::function<INT()>& call) {
        INT result = -1;
        machine_.RunAsHost(host_, [&] { result = call(); });
        Say(what + " -> " + std::to_string(result));
        FlushTraces();
        return result;
    }

    // Waits (in real time: the reporter runs on its own thread) until the host has
    // received at least count lines of which pred counts.
    bool WaitFor(const std::function<bool()>& pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(g_outputLock);
                if (pred()) return true;
            }
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    winsim::Machine& machine_;
    PEPROCESS host_;
};

// A protected process survives a terminate attempt: its handle comes back without
// PROCESS_TERMINATE, so the attempt cannot end it; the host receives the event.
bool DemonstrateProcessProtection(winsim::Machine& machine, Runner& runner) {
    runner.Call("Kx4grdProcessProtect(1)", [] { return Kx4grdProcessProtect(1); });
    runner.Call("Kx4grdSetProcessProtectName(kx4grdputool.exe)",
                [] { return Kx4grdSetProcessProtectName(W(u"kx4grdputool.exe")); });

    runner.Say("run kx4grdputool.exe (protected by its name) and taskkill.exe");
    winsim::ProcessOptions tool;
    tool.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Agent\\kx4grdputool.exe";
    PEPROCESS toolProcess = machine.StartProcess(tool);
    winsim::ProcessOptions killer;
    killer.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\taskkill.exe";
    PEPROCESS killerProcess = machine.StartProcess(killer);
    runner.FlushTraces();

    const uint32_t toolPid = machine.ProcessId(toolProcess);
    runner.Say("taskkill.exe opens kx4grdputool.exe (pid " + std::to_string(toolPid) + ") for TERMINATE | VM_READ");
    winsim::HandleResult handle = machine.OpenProcess(killerProcess, toolPid, PROCESS_TERMINATE | PROCESS_VM_READ);
    runner.FlushTraces();
    const bool mayTerminate = NT_SUCCESS(handle.status) && (handle.granted & PROCESS_TERMINATE) != 0;
    char text[160];
    std::snprintf(text, sizeof(text), "  -> status 0x%08X, granted 0x%X%s", static_cast<unsigned>(handle.status),
                  static_cast<unsigned>(handle.granted), mayTerminate ? "" : " (no PROCESS_TERMINATE)");
    runner.Say(text);
    if (mayTerminate) {
        machine.ExitProcess(toolProcess);
    }
    machine.CloseHandle(handle.handle);
    const bool survived = machine.FindProcess(toolPid) == toolProcess;
    runner.Say(std::string("terminate attempt ") + (mayTerminate ? "allowed" : "refused (access denied)") +
               ": kx4grdputool.exe " + (survived ? "still runs" : "was terminated"));
    runner.FlushTraces();
    runner.WaitFor([] { return g_unknownLines >= 1; });
    machine.ExitProcess(killerProcess);
    machine.ExitProcess(toolProcess);
    runner.FlushTraces();
    return survived;
}

// Registry protection: Kx4grdSetRegProtect registers the callback with its default
// keys, and regedit.exe is refused the protected key that notepad.exe opens.
void ShowRegistryProtection(winsim::Machine& machine, Runner& runner) {
    const std::u16string key = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Zarquel\\Settings";
    machine.RegCreateKey(u"\\Registry\\Machine\\Software\\Zarquel\\Settings");
    runner.Call("Kx4grdSetRegProtect(1)", [] { return Kx4grdSetRegProtect(1); });
    for (const char16_t* image : {u"regedit.exe", u"notepad.exe"}) {
        winsim::ProcessOptions options;
        options.imagePath = std::u16string(u"\\Device\\HarddiskVolume2\\Windows\\") + image;
        PEPROCESS process = machine.StartProcess(options);
        runner.FlushTraces();
        winsim::KeyOpenRequest request;
        request.name = key;
        HANDLE handle = nullptr;
        NTSTATUS status = machine.OpenKey(process, request, &handle);
        char text[400];
        std::snprintf(text, sizeof(text), "%s opens %s -> status 0x%08X (%s)", Narrow(image).c_str(),
                      Narrow(key).c_str(), static_cast<unsigned>(status),
                      status == STATUS_ACCESS_DENIED ? "refused" : NT_SUCCESS(status) ? "opened" : "failed");
        runner.Say(text);
        runner.FlushTraces();
        if (handle != nullptr) machine.CloseKey(handle);
        machine.ExitProcess(process);
        runner.FlushTraces();
    }
}

// Device channels the file system does not see: with the USB and Bluetooth hooks
// installed through Kx4grdSetHook, a USB device plugged under the hub is refused its
// start under DISABLE, and an OBEX put over a Bluetooth RFCOMM connection that
// connected under a read-only file-transfer policy is refused. Each refusal reaches
// the host as a POLICY line.
bool ShowDeviceChannels(winsim::Machine& machine, Runner& runner) {
    runner.Call("Kx4grdSetHook(BDC_USB, 1)", [] { return Kx4grdSetHook(BDC_USB, 1); });
    runner.Call("Kx4grdSetPolicy(BDC_USB, DISABLE, 1)", [] { return Kx4grdSetPolicy(BDC_USB, DISABLE, 1); });
    winsim::ProcessOptions installerOptions;
    installerOptions.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\drvinst.exe";
    PEPROCESS installer = machine.StartProcess(installerOptions);
    winsim::UsbDeviceOptions device;
    device.deviceDescriptor = winsim::usb::DeviceDescriptor(0, 0x0781, 0x5567, 1, 2, 3);
    device.strings[0] = winsim::usb::LanguageTable();
    device.strings[1] = winsim::usb::StringDescriptor(u"SanDisk");
    device.strings[2] = winsim::usb::StringDescriptor(u"Cruzer Blade");
    device.strings[3] = winsim::usb::StringDescriptor(u"SN0042");
    device.configuration = winsim::usb::Configuration(winsim::usb::Interface(0, 8, 6, 0x50));
    device.process = installer;
    const size_t linesBeforePlug = g_policyLines;
    winsim::UsbPlugResult plugged = machine.PlugUsbDevice(device);
    char text[400];
    std::snprintf(text, sizeof(text), "USB device 0781:5567 (SanDisk Cruzer Blade, SN0042) plugged -> start 0x%08X (%s)",
                  static_cast<unsigned>(plugged.start.status), plugged.started ? "started" : "refused");
    runner.Say(text);
    runner.FlushTraces();
    runner.WaitFor([linesBeforePlug] { return g_policyLines > linesBeforePlug; });
    machine.ExitProcess(installer);
    runner.FlushTraces();

    runner.Call("Kx4grdSetHook(BDC_BLUETOOTH, 1)", [] { return Kx4grdSetHook(BDC_BLUETOOTH, 1); });
    runner.Call("Kx4grdSetPolicy(BDC_BLUETOOTH_FILE, READONLY, 1)",
                [] { return Kx4grdSetPolicy(BDC_BLUETOOTH_FILE, READONLY, 1); });
    winsim::ProcessOptions senderOptions;
    senderOptions.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\fsquirt.exe";
    PEPROCESS sender = machine.StartProcess(senderOptions);
    winsim::ObexSendOptions obexOptions;
    obexOptions.process = sender;
    const std::vector<uint8_t> connect{0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
    winsim::DeviceRequestResult connected =
        machine.SendObexPacket(winsim::ObexTransport::Rfcomm, 1, connect, obexOptions);
    std::snprintf(text, sizeof(text), "fsquirt.exe sends OBEX CONNECT on RFCOMM connection 1 -> status 0x%08X",
                  static_cast<unsigned>(connected.status));
    runner.Say(text);
    runner.FlushTraces();
    // PUT (final) with the name header "holiday.jpg" and a small body.
    std::vector<uint8_t> put{0x82, 0x00, 0x00, 0x01, 0x00, 0x00};
    for (char16_t c : std::u16string(u"holiday.jpg")) {
        put.push_back(static_cast<uint8_t>(c >> 8));
        put.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    put.push_back(0);
    put.push_back(0);
    put[4] = static_cast<uint8_t>((put.size() - 3) >> 8);
    put[5] = static_cast<uint8_t>((put.size() - 3) & 0xFF);
    for (uint8_t b : std::vector<uint8_t>{0x49, 0x00, 0x08, 'h', 'e', 'l', 'l', 'o'}) put.push_back(b);
    put[1] = static_cast<uint8_t>(put.size() >> 8);
    put[2] = static_cast<uint8_t>(put.size() & 0xFF);
    const size_t linesBeforePut = g_policyLines;
    winsim::DeviceRequestResult sent = machine.SendObexPacket(winsim::ObexTransport::Rfcomm, 1, put, obexOptions);
    const bool putRefused = sent.completed && sent.status == static_cast<NTSTATUS>(0xC0000010L);
    std::snprintf(text, sizeof(text), "fsquirt.exe sends OBEX PUT holiday.jpg (%zu bytes) -> status 0x%08X (%s)",
                  put.size(), static_cast<unsigned>(sent.status), putRefused ? "refused" : "passed");
    runner.Say(text);
    runner.FlushTraces();
    runner.WaitFor([linesBeforePut] { return g_policyLines > linesBeforePut; });
    const std::vector<uint8_t> disconnect{0x81, 0x00, 0x03};
    machine.SendObexPacket(winsim::ObexTransport::Rfcomm, 1, disconnect, obexOptions);
    machine.ExitProcess(sender);
    runner.FlushTraces();
    return !plugged.started && putRefused;
}

int RunDefaultScenario() {
    winsim::Machine& machine = winsim::Machine::Boot();
    machine.RegisterDriverImage(kImage, DriverEntry);
    // The drivers of the device channels the driver interposes on.
    for (const char16_t* target : {u"usbhub", u"BTKRNL", u"RFCOMM", u"BTWUSB", u"BTHUSB"}) {
        machine.LoadTargetDriver(target);
    }

    // The machine: a system disk C: and a USB flash disk E:, and the driver file in
    // the directory the host will name.
    winsim::VolumeOptions local;
    local.kind = winsim::VolumeKind::LocalDisk;
    local.dosName = u"C:";
    winsim::VolumeInfo c = machine.AddVolume(local);
    winsim::VolumeOptions usb;
    usb.kind = winsim::VolumeKind::UsbFlashDisk;
    usb.dosName = u"E:";
    usb.size.totalUnits = 3ull * (1ull << 30) / 2 / 4096;  // 1.5 GiB in 4-KiB units
    usb.size.availableUnits = (1ull << 30) / 4096;
    winsim::VolumeInfo e = machine.AddVolume(usb);
    {
        const std::string driverFile = machine.HostFilePath(std::u16string(kDriverDirectory) + u"\\kx4grd_x64.sys");
        std::filesystem::create_directories(std::filesystem::path(driverFile).parent_path());
        std::ofstream(driverFile) << "MZ";
    }
    std::printf("machine: local disk %s (C:), USB flash disk %s (E:), kx4grd_x64.sys in %s\n",
                Narrow(c.deviceName).c_str(), Narrow(e.deviceName).c_str(), Narrow(kDriverDirectory).c_str());

    winsim::HostOptions hostOptions;
    hostOptions.imagePath = kHostImage;
    PEPROCESS host = machine.StartHost(hostOptions);
    std::printf("host %s (pid %u) loads kx4grdctrl\n", Narrow(kHostImage).c_str(), machine.ProcessId(host));
    Runner runner(machine, host);

    // Kx4grdInit finds no port, installs and starts the service (the driver attaches
    // to both volumes and reports them), connects, sends CLEAR and starts the
    // reporter: the volumes' CONNECT lines reach the host.
    const INT init = runner.Call("Kx4grdInit(C:\\Program Files\\kx4, callback, 0)", [] {
        return Kx4grdInit(W(kDriverDirectory), &PrintHostLine, 0);
    });
    if (init != 0) {
        winsim::Machine::Shutdown();
        return 1;
    }
    runner.WaitFor([] { return g_hostLines >= 2; });

    // The typical request: BDC_USB_DISK read-only with logging, device protection
    // on, filtering started; a process opens a file on E: for writing (the open
    // passes) and writes to it (refused): the host gets the one POLICY line.
    runner.Call("Kx4grdSetPolicy(BDC_USB_DISK, READONLY, 1)", [] { return Kx4grdSetPolicy(BDC_USB_DISK, READONLY, 1); });
    runner.Call("Kx4grdSetDeviceProtect(1)", [] { return Kx4grdSetDeviceProtect(1); });
    runner.Call("Kx4grdStartAndStop(1)", [] { return Kx4grdStartAndStop(1); });
    {
        std::FILE* file = std::fopen(machine.HostFilePath(u"E:\\report.docx").c_str(), "wb");
        if (file != nullptr) {
            std::fputs("quarterly figures", file);
            std::fclose(file);
        }
    }
    winsim::ProcessOptions word;
    word.imagePath = c.deviceName + u"\\Program Files\\Office\\winword.exe";
    PEPROCESS writer = machine.StartProcess(word);
    runner.FlushTraces();
    winsim::CreateRequest open;
    open.path = e.deviceName + u"\\report.docx";
    open.desiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    open.disposition = FILE_OPEN;
    open.options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    winsim::OpenFile* handle = nullptr;
    winsim::IoResult opened = machine.CreateFile(writer, open, &handle);
    char text[400];
    std::snprintf(text, sizeof(text), "winword.exe (pid %u) opens %s for writing -> status 0x%08X",
                  machine.ProcessId(writer), Narrow(open.path).c_str(), static_cast<unsigned>(opened.status));
    runner.Say(text);
    runner.FlushTraces();
    bool denied = false;
    if (handle != nullptr) {
        winsim::IoResult written = machine.WriteFile(handle, 0, "changed");
        denied = written.status == STATUS_ACCESS_DENIED;
        std::snprintf(text, sizeof(text), "winword.exe writes 7 bytes at offset 0 -> status 0x%08X%s",
                      static_cast<unsigned>(written.status), denied ? " (STATUS_ACCESS_DENIED)" : "");
        runner.Say(text);
        runner.FlushTraces();
        machine.CloseFile(handle);
        runner.FlushTraces();
    }
    runner.WaitFor([] { return g_policyLines >= 1; });
    machine.ExitProcess(writer);
    runner.FlushTraces();

    const bool processProtected = DemonstrateProcessProtection(machine, runner);
    ShowRegistryProtection(machine, runner);
    const bool channelsRefused = ShowDeviceChannels(machine, runner);

    // Kx4grdCleanup: the reporter is stopped, STOP sent, the port closed, and the
    // service stopped (the driver unloads) and deleted.
    runner.Call("Kx4grdStartAndStop(0)", [] { return Kx4grdStartAndStop(0); });
    runner.Call("Kx4grdCleanup()", [] { return Kx4grdCleanup(); });
    std::printf("host: %zu lines received, %zu threads and %zu handles of the library left; driver %s\n", g_hostLines,
                machine.UserThreadCount(host), machine.UserHandleCount(host),
                machine.IsDriverLoaded(kService) ? "still loaded" : "unloaded, service deleted");
    const bool clean = machine.UserThreadCount(host) == 0 && machine.UserHandleCount(host) == 0 &&
                       !machine.IsDriverLoaded(kService);
    machine.ExitHost(host);
    winsim::VerifierReport report = machine.Verifier();
    std::printf("verifier: %s\n", report.Clean() ? "clean" : report.ToString().c_str());
    winsim::Machine::Shutdown();
    return report.Clean() && clean && denied && g_usbDiskPolicyLines == 1 && processProtected && channelsRefused ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr,
                     "usage: %s\n  runs the default scenario: a host loads kx4grdctrl and calls Kx4grdInit (the service "
                     "is installed and started, the volumes reported), Kx4grdSetPolicy(BDC_USB_DISK, READONLY, 1), "
                     "Kx4grdSetDeviceProtect(1), Kx4grdStartAndStop(1); a write on the USB flash disk is refused and "
                     "reported; process and registry protection; a USB plug and an OBEX put refused; Kx4grdCleanup\n",
                     argv[0]);
        return 2;
    }
    try {
        return RunDefaultScenario();
    } catch (const winsim::BugCheck& bugCheck) {
        std::fprintf(stderr, "bug check: %s\n", bugCheck.report.c_str());
        return 3;
    }
}
