// The system's serial ports on Windows: the devices of the COM port
// interface class, through SetupAPI, with the port name from each device's
// registry key and the USB ids from its hardware id.
#include <windows.h>

#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <shlwapi.h>

#include <cstdlib>

#include "platform/ports.h"

// GUID_DEVINTERFACE_COMPORT, spelt out: not every SDK's headers define it.
static const GUID comport_interface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

static std::string property(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD which)
{
    char text[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, dev, which, &type, reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                           nullptr))
        return "";
    return text;  // a multi-string's first entry
}

static std::string port_name(HDEVINFO set, SP_DEVINFO_DATA* dev)
{
    HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return "";
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    LONG r = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_SZ ? name : "";
}

// "...VID_0403&PID_6001..." -> the hex number after `tag`; -1 when absent.
static int id_after(const std::string& hardware_id, const char* tag)
{
    size_t at = hardware_id.find(tag);
    if (at == std::string::npos)
        return -1;
    return static_cast<int>(std::strtol(hardware_id.substr(at + 4, 4).c_str(), nullptr, 16));
}

// A USB device's instance id ends in its serial number: USB\VID_x&PID_y\SERIAL.
static std::string usb_serial(HDEVINFO set, SP_DEVINFO_DATA* dev)
{
    char id[512] = {};
    if (!SetupDiGetDeviceInstanceIdA(set, dev, id, sizeof id - 1, nullptr))
        return "";
    std::string text = id;
    if (text.rfind("USB\\", 0) != 0)
        return "";
    size_t last = text.rfind('\\');
    std::string serial = text.substr(last + 1);
    return serial.find('&') == std::string::npos ? serial : "";  // '&': made up by Windows, not the device's
}

bool ports_list(std::vector<port_info>* out, std::string* error)
{
    std::vector<port_info>& all = *out;
    all.clear();
    HDEVINFO set = SetupDiGetClassDevsA(&comport_interface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        *error = "SetupDiGetClassDevs failed with error " + std::to_string(GetLastError());
        return false;
    }
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        port_info info;
        info.path = port_name(set, &dev);
        if (info.path.empty())
            continue;
        info.description = property(set, &dev, SPDRP_FRIENDLYNAME);
        if (info.description.empty())
            info.description = property(set, &dev, SPDRP_DEVICEDESC);
        info.manufacturer = property(set, &dev, SPDRP_MFG);
        std::string hardware_id = property(set, &dev, SPDRP_HARDWAREID);
        info.vid = id_after(hardware_id, "VID_");
        info.pid = id_after(hardware_id, "PID_");
        if (info.vid >= 0)
            info.serial = usb_serial(set, &dev);
        all.push_back(info);
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

bool ports_name_matches(const std::string& pattern, const std::string& name)
{
    return PathMatchSpecA(name.c_str(), pattern.c_str()) != FALSE;
}
