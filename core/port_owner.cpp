#include "port_owner.h"

#include "job.h"

bool port_owner::open(const char* name)
{
    close();
    port_.handle = port_.ops->open(name);
    return port_.handle != nullptr;
}

bool port_owner::configure(int32_t baud)
{
    return port_.handle != nullptr && ser_config(&port_, baud, ZEL_READ_TIMEOUT_US) == 0;
}

ser_port port_owner::release()
{
    ser_port held = port_;
    port_.handle = nullptr;
    port_.saved = 0;
    return held;
}

void port_owner::close()
{
    ser_close(&port_);
}
