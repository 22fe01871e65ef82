// Every FreeBSD declaration the stand-in provides, in one include.
#pragma once

#include "freebsd/devstat.h"
#include "freebsd/kvm.h"
#include "freebsd/libutil.h"
#include "freebsd/netinet/in_pcb.h"
#include "freebsd/netinet/tcp_var.h"
#include "freebsd/sys/cpuset.h"
#include "freebsd/sys/file.h"
#include "freebsd/sys/mount.h"
#include "freebsd/sys/proc.h"
#include "freebsd/sys/resource.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sysctl.h"
#include "freebsd/sys/types.h"
#include "freebsd/sys/unpcb.h"
#include "freebsd/sys/user.h"
#include "freebsd/sys/vmmeter.h"
