// The system's serial ports on Linux and macOS, from libserialport's
// enumeration and USB metadata. Opening and talking stay in the port seam.
#include <fnmatch.h>
#include <libserialport.h>

#include "platform/ports.h"

static std::string text_of(const char* s)
{
    return s != nullptr ? s : "";
}

static port_info info_of(const sp_port* p)
{
    port_info info;
    info.path = text_of(sp_get_port_name(p));
    info.description = text_of(sp_get_port_description(p));
    if (sp_get_port_transport(p) == SP_TRANSPORT_USB) {
        int vid = -1;
        int pid = -1;
        if (sp_get_port_usb_vid_pid(p, &vid, &pid) == SP_OK) {
            info.vid = vid;
            info.pid = pid;
        }
        info.serial = text_of(sp_get_port_usb_serial(p));
        info.manufacturer = text_of(sp_get_port_usb_manufacturer(p));
    }
    return info;
}

bool ports_list(std::vector<port_info>* out, std::string* error)
{
    sp_port** list = nullptr;
    if (sp_list_ports(&list) != SP_OK) {
        char* why = sp_last_error_message();
        *error = why != nullptr ? why : "libserialport gave no reason";
        sp_free_error_message(why);
        return false;
    }
    out->clear();
    for (sp_port** p = list; *p != nullptr; ++p)
        out->push_back(info_of(*p));
    sp_free_port_list(list);
    return true;
}

bool ports_name_matches(const std::string& pattern, const std::string& name)
{
    return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}
