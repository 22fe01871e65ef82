// The one place the module meets its operating system's headers.
//
// On FreeBSD these are the real system headers and libraries. Elsewhere the
// stand-in under compat/ declares the same names, with FreeBSD's values and
// layouts, in namespace freebsd; the using-directive below presents them to
// the module exactly as FreeBSD's headers would. Nothing else in the module
// knows which host it is built on.
#pragma once

#if defined(__FreeBSD__)
#include <sys/param.h>
#include <sys/types.h>
#include <sys/cpuset.h>
#include <sys/proc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <sys/time.h>
#include <sys/vmmeter.h>
#include <vm/vm_param.h>
#include <sys/file.h>
#include <sys/socketvar.h>
#include <sys/un.h>
#include <sys/unpcb.h>
#include <netinet/in.h>
#include <netinet/in_pcb.h>
#include <netinet/tcp_var.h>
#include <arpa/inet.h>
#include <kvm.h>
#include <libutil.h>
#include <malloc_np.h>
#include <sys/ioctl.h>
#include <sys/sockio.h>
#include <net/if.h>
#include <net/if_dl.h>
#include <net/if_media.h>
#include <net/route.h>
#include <netinet/in.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/ucred.h>
#include <sys/mount.h>
#include <devstat.h>
#include <utmpx.h>
#endif

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#if !defined(__FreeBSD__)
#include "freebsd/base.h"
using namespace freebsd;  // NOLINT(google-global-names-in-headers): the stand-in's one entry
#endif
