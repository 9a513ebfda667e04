#include "port_owner.h"

#include "job.h"
#include "ser.h"

bool port_owner::open(const char* name)
{
    close();
    handle_ = port.open(name);
    return handle_ != nullptr;
}

bool port_owner::configure(int32_t baud)
{
    return handle_ != nullptr && ser_config(handle_, baud, ZEL_READ_TIMEOUT_US) == 0;
}

port_handle port_owner::release()
{
    port_handle h = handle_;
    handle_ = nullptr;
    return h;
}

void port_owner::close()
{
    if (handle_ != nullptr)
        ser_close(release());
}
