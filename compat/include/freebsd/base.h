// Every FreeBSD declaration the stand-in provides, in one include.
#pragma once

#include "freebsd/kvm.h"
#include "freebsd/libutil.h"
#include "freebsd/sys/cpuset.h"
#include "freebsd/sys/proc.h"
#include "freebsd/sys/resource.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sysctl.h"
#include "freebsd/sys/types.h"
#include "freebsd/sys/user.h"
