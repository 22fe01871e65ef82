/* libdevstat's interface as FreeBSD 14 declares it, for the cross build
 * only: the toolchain ships FreeBSD's libc headers but not this library's. */
#ifndef _DEVSTAT_H
#define _DEVSTAT_H

#include <sys/devicestat.h>
#include <sys/resource.h>
#include <kvm.h>

#define DEVSTAT_USER_API_VER 6

#ifdef __cplusplus
extern "C" {
#endif

struct devinfo {
	struct devstat	*devices;
	u_int8_t	*mem_ptr;
	long		generation;
	int		numdevs;
};

struct statinfo {
	long		cp_time[CPUSTATES];
	long		tk_nin;
	long		tk_nout;
	struct devinfo	*dinfo;
	long double	snap_time;
};

int	devstat_checkversion(kvm_t *kd);
int	devstat_getdevs(kvm_t *kd, struct statinfo *stats);
int	devstat_getnumdevs(kvm_t *kd);
long	devstat_getgeneration(kvm_t *kd);

#ifdef __cplusplus
}
#endif

#endif /* _DEVSTAT_H */
