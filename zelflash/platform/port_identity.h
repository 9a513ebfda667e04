// What tells two port names apart: the same port under another spelling
// ("com7" and "COM7"; a symlink and its target) gives the same identity.
#pragma once

#include <string>

std::string port_identity(const std::string& name);
