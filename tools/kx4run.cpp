// kx4run: boots the simulated machine, loads kx4grd, connects to its port as the
// agent, sends a scripted sequence of commands and prints the driver's traces and
// each reply.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/kx4grd_common.h"
#include "driver/core/entry.h"
#include "winsim/winsim.h"

namespace {

const char16_t kService[] = u"kx4grd";
const char16_t kImage[] = u"kx4grd_x64.sys";
const char16_t kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd\\Parameters";

std::string Narrow(const WCHAR* text, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && text[i] != 0; ++i) {
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return out;
}

const char* EventName(ULONG code) {
    switch (code) {
    case CONNECT: return "CONNECT";
    case DISCONNECT: return "DISCONNECT";
    case POLICY: return "POLICY";
    case LOG_PROCESS: return "LOG_PROCESS";
    default: return "UNKNWON";
    }
}

class Runner {
public:
    explicit Runner(winsim::Machine& machine) : machine_(machine) {}

    // Prints the debug lines the last step produced, then forgets them.
    void FlushTraces() {
        for (const std::string& line : machine_.DebugOutput()) {
            std::printf("  trace | %s", line.c_str());
            if (line.empty() || line.back() != '\n') {
                std::printf("\n");
            }
        }
        machine_.ClearDebugOutput();
    }

    bool Connect(PEPROCESS agent) {
        NTSTATUS status = machine_.ConnectPort(agent, KX4GRD_PORT_NAME, &connection_);
        std::printf("connect \\kx4grd -> status 0x%08X\n", static_cast<unsigned>(status));
        FlushTraces();
        return NT_SUCCESS(status);
    }

    NTSTATUS Send(COMMAND_MESSAGE& msg, std::vector<uint8_t>* output = nullptr) {
        uint32_t returned = 0;
        NTSTATUS status = machine_.SendMessage(connection_, &msg, sizeof(msg),
                                               output != nullptr ? output->data() : nullptr,
                                               output != nullptr ? static_cast<uint32_t>(output->size()) : 0,
                                               &returned);
        const char* name = CommandName(msg.command);
        std::printf("%s -> status 0x%08X, reply %u bytes\n", name != nullptr ? name : "?",
                    static_cast<unsigned>(status), returned);
        FlushTraces();
        lastReturned_ = returned;
        return status;
    }

    // GET_LOG with a buffer that grows to what the driver asks for.
    void DrainLog() {
        std::vector<uint8_t> reply(GetLogReplySize(1));
        for (int attempt = 0; attempt < 4; ++attempt) {
            COMMAND_MESSAGE msg{};
            msg.command = GET_LOG;
            NTSTATUS status = Send(msg, &reply);
            if (status == STATUS_BUFFER_OVERFLOW && lastReturned_ > reply.size()) {
                reply.resize(lastReturned_);
                continue;
            }
            if (!NT_SUCCESS(status)) {
                return;
            }
            GET_LOG_REPLY_HEADER header;
            std::memcpy(&header, reply.data(), sizeof(header));
            std::printf("  reply | count %u\n", header.count);
            for (ULONG i = 0; i < header.count; ++i) {
                EVENT_RECORD r;
                std::memcpy(&r, reply.data() + KX_GET_LOG_HEADER_SIZE + i * sizeof(EVENT_RECORD), sizeof(r));
                std::printf("  reply | #%u %s pid=%u a0=%u a1=%u log=%u name=\"%s\"", i + 1, EventName(r.code), r.pid,
                            r.a0, r.a1, r.log, Narrow(r.name, KX_EVENT_NAME_CHARS).c_str());
                if (r.code == CONNECT) {
                    // A volume arrival: the DOS name, and the volume report as the path.
                    std::printf(" extra=\"%s\"\n  reply |    %s\n", Narrow(r.extra, KX_EVENT_EXTRA_CHARS).c_str(),
                                Narrow(r.path, KX_EVENT_PATH_CHARS).c_str());
                } else {
                    std::printf(" path=\"%s\"\n", Narrow(r.path, KX_EVENT_PATH_CHARS).c_str());
                    if (r.code == PROCESS_PROTECT_EVENT) {
                        std::printf("  reply |    extra=\"%s\"\n", Narrow(r.extra, KX_EVENT_EXTRA_CHARS).c_str());
                    }
                }
            }
            return;
        }
    }

    void Close() {
        if (connection_ != nullptr) {
            machine_.ClosePort(connection_);
            connection_ = nullptr;
            std::printf("disconnect\n");
            FlushTraces();
        }
    }

private:
    winsim::Machine& machine_;
    winsim::PortConnection* connection_ = nullptr;
    uint32_t lastReturned_ = 0;
};

// A protected process survives a terminate attempt: its handle comes back without
// PROCESS_TERMINATE, so the attempt cannot end it, and the attempt is logged.
bool DemonstrateProcessProtection(winsim::Machine& machine, Runner& runner) {
    COMMAND_MESSAGE msg{};
    msg.command = SET_DEBUG_LEVEL;
    msg.value = 3;  // the callback's decisions are traced with bit 0x1
    runner.Send(msg);
    msg = {};
    msg.command = SET_PROCESS_PROTECT;
    msg.state = 1;
    runner.Send(msg);

    std::printf("run kx4grdputool.exe (protected by its name) and taskkill.exe\n");
    winsim::ProcessOptions tool;
    tool.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Agent\\kx4grdputool.exe";
    PEPROCESS toolProcess = machine.StartProcess(tool);
    winsim::ProcessOptions killer;
    killer.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\taskkill.exe";
    PEPROCESS killerProcess = machine.StartProcess(killer);
    runner.FlushTraces();

    const uint32_t toolPid = machine.ProcessId(toolProcess);
    std::printf("taskkill.exe opens kx4grdputool.exe (pid %u) for TERMINATE | VM_READ\n", toolPid);
    winsim::HandleResult handle =
        machine.OpenProcess(killerProcess, toolPid, PROCESS_TERMINATE | PROCESS_VM_READ);
    runner.FlushTraces();
    const bool mayTerminate = NT_SUCCESS(handle.status) && (handle.granted & PROCESS_TERMINATE) != 0;
    std::printf("  -> status 0x%08X, granted 0x%X%s\n", static_cast<unsigned>(handle.status),
                static_cast<unsigned>(handle.granted), mayTerminate ? "" : " (no PROCESS_TERMINATE)");
    if (mayTerminate) {
        machine.ExitProcess(toolProcess);
    }
    machine.CloseHandle(handle.handle);
    const bool survived = machine.FindProcess(toolPid) == toolProcess;
    std::printf("terminate attempt %s: kx4grdputool.exe %s\n", mayTerminate ? "allowed" : "refused (access denied)",
                survived ? "still runs" : "was terminated");
    runner.FlushTraces();
    runner.DrainLog();

    msg = {};
    msg.command = SET_DEBUG_LEVEL;
    msg.value = 2;
    runner.Send(msg);
    machine.ExitProcess(killerProcess);
    machine.ExitProcess(toolProcess);
    runner.FlushTraces();
    return survived;
}

// Registry protection: SET_REG_PROTECT registers the callback with its default
// keys, and regedit.exe is refused the protected key that notepad.exe opens.
void ShowRegistryProtection(winsim::Machine& machine, Runner& runner) {
    const std::u16string key = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Zarquel\\Settings";
    machine.RegCreateKey(u"\\Registry\\Machine\\Software\\Zarquel\\Settings");
    COMMAND_MESSAGE msg{};
    msg.command = SET_REG_PROTECT;
    msg.state = 1;
    runner.Send(msg);
    for (const char16_t* image : {u"regedit.exe", u"notepad.exe"}) {
        winsim::ProcessOptions options;
        options.imagePath = std::u16string(u"\\Device\\HarddiskVolume2\\Windows\\") + image;
        PEPROCESS process = machine.StartProcess(options);
        runner.FlushTraces();
        winsim::KeyOpenRequest request;
        request.name = key;
        HANDLE handle = nullptr;
        NTSTATUS status = machine.OpenKey(process, request, &handle);
        std::printf("%s opens %s -> status 0x%08X (%s)\n", Narrow(reinterpret_cast<const WCHAR*>(image), 32).c_str(),
                    Narrow(reinterpret_cast<const WCHAR*>(key.c_str()), 256).c_str(), static_cast<unsigned>(status),
                    status == STATUS_ACCESS_DENIED ? "refused" : NT_SUCCESS(status) ? "opened" : "failed");
        runner.FlushTraces();
        if (handle != nullptr) machine.CloseKey(handle);
        machine.ExitProcess(process);
        runner.FlushTraces();
    }
}

int RunDefaultScenario() {
    winsim::Machine& machine = winsim::Machine::Boot();
    machine.RegisterDriverImage(kImage, DriverEntry);
    // Record process starts and ends, so the log has something to hand back.
    machine.RegSetDword(kParameters, u"ProcessCreate", 1);

    std::printf("load kx4grd_x64.sys\n");
    NTSTATUS status = machine.LoadDriver(kService, kImage);
    Runner runner(machine);
    runner.FlushTraces();
    if (!NT_SUCCESS(status)) {
        std::printf("load failed: 0x%08X\n", static_cast<unsigned>(status));
        winsim::Machine::Shutdown();
        return 1;
    }

    winsim::ProcessOptions agent;
    agent.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Agent\\agent.exe";
    PEPROCESS agentProcess = machine.StartProcess(agent);
    if (!runner.Connect(agentProcess)) {
        winsim::Machine::Shutdown();
        return 1;
    }

    COMMAND_MESSAGE msg{};
    msg.command = START;
    runner.Send(msg);

    msg = {};
    msg.command = SET_POLICY;
    msg.devicetype = BDC_USB_DISK;
    msg.policystate = READONLY;
    msg.log = 1;
    runner.Send(msg);

    msg = {};
    msg.command = SET_LOG_TYPE;
    msg.type = KX_LOG_TYPE_DEFAULT;
    runner.Send(msg);

    // Volumes arrive: the driver sets up an instance on each, collects its disk's
    // identity and reports it in a CONNECT record.
    winsim::VolumeOptions local;
    local.kind = winsim::VolumeKind::LocalDisk;
    local.dosName = u"C:";
    winsim::VolumeInfo c = machine.AddVolume(local);
    std::printf("attach local disk %s (C:)\n", Narrow(reinterpret_cast<const WCHAR*>(c.deviceName.c_str()), 256).c_str());
    runner.FlushTraces();
    winsim::VolumeOptions usb;
    usb.kind = winsim::VolumeKind::UsbFlashDisk;
    usb.dosName = u"E:";
    usb.size.totalUnits = 3ull * (1ull << 30) / 2 / 4096;  // 1.5 GiB in 4-KiB units
    usb.size.availableUnits = (1ull << 30) / 4096;
    winsim::VolumeInfo e = machine.AddVolume(usb);
    std::printf("attach USB flash disk %s (E:)\n", Narrow(reinterpret_cast<const WCHAR*>(e.deviceName.c_str()), 256).c_str());
    runner.FlushTraces();
    runner.DrainLog();

    std::printf("run notepad.exe\n");
    winsim::ProcessOptions notepad;
    notepad.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\notepad.exe";
    PEPROCESS process = machine.StartProcess(notepad);
    machine.ExitProcess(process);
    runner.FlushTraces();

    runner.DrainLog();

    // The typical request: with device protection on, a process opens a file for
    // writing on the read-only USB flash drive (the open passes) and writes to it
    // (refused, and a POLICY record is queued).
    msg = {};
    msg.command = START_DEVICE_PROTECT;
    msg.state = 1;
    runner.Send(msg);
    {
        std::FILE* file = std::fopen((e.hostDir + "/report.docx").c_str(), "wb");
        if (file != nullptr) {
            std::fputs("quarterly figures", file);
            std::fclose(file);
        }
    }
    winsim::ProcessOptions word;
    word.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Office\\winword.exe";
    PEPROCESS writer = machine.StartProcess(word);
    runner.FlushTraces();
    winsim::CreateRequest open;
    open.path = e.deviceName + u"\\report.docx";
    open.desiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    open.disposition = FILE_OPEN;
    open.options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    winsim::OpenFile* handle = nullptr;
    winsim::IoResult opened = machine.CreateFile(writer, open, &handle);
    std::printf("winword.exe opens %s for writing -> status 0x%08X\n",
                Narrow(reinterpret_cast<const WCHAR*>(open.path.c_str()), 256).c_str(),
                static_cast<unsigned>(opened.status));
    runner.FlushTraces();
    if (handle != nullptr) {
        winsim::IoResult written = machine.WriteFile(handle, 0, "changed");
        std::printf("winword.exe writes 7 bytes at offset 0 -> status 0x%08X%s\n",
                    static_cast<unsigned>(written.status),
                    written.status == STATUS_ACCESS_DENIED ? " (STATUS_ACCESS_DENIED)" : "");
        runner.FlushTraces();
        machine.CloseFile(handle);
        runner.FlushTraces();
    }
    runner.DrainLog();
    machine.ExitProcess(writer);
    runner.FlushTraces();

    const bool processProtected = DemonstrateProcessProtection(machine, runner);

    ShowRegistryProtection(machine, runner);

    msg = {};
    msg.command = STOP;
    runner.Send(msg);
    runner.Close();

    std::printf("unload kx4grd\n");
    status = machine.UnloadDriver(kService);
    runner.FlushTraces();
    winsim::VerifierReport report = machine.Verifier();
    std::printf("verifier: %s\n", report.Clean() ? "clean" : report.ToString().c_str());
    winsim::Machine::Shutdown();
    return NT_SUCCESS(status) && report.Clean() && processProtected ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s\n  runs the default scenario: load, START, SET_POLICY, SET_LOG_TYPE, a local disk and a USB flash disk "
                     "attached, GET_LOG, a process run, GET_LOG, START_DEVICE_PROTECT, an open for writing and a write on the "
                     "USB flash disk, GET_LOG, STOP\n",
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
