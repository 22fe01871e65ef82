/* libkvm's interface as FreeBSD 14 declares it, for the cross build only:
 * the toolchain ships FreeBSD's libc headers but not this library's. */
#ifndef _KVM_H_
#define _KVM_H_

#include <sys/types.h>
#include <nlist.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __kvm kvm_t;
struct kinfo_proc;

struct kvm_swap {
	char	ksw_devname[32];
	u_int	ksw_used;
	u_int	ksw_total;
	int	ksw_flags;
	int	ksw_reserved1;
	int	ksw_reserved2;
};

#define SWIF_DEV_PREFIX	0x0002

int	kvm_close(kvm_t *);
char	**kvm_getenvv(kvm_t *, const struct kinfo_proc *, int);
char	*kvm_geterr(kvm_t *);
struct kinfo_proc *kvm_getprocs(kvm_t *, int, int, int *);
int	kvm_getswapinfo(kvm_t *, struct kvm_swap *, int, int);
kvm_t	*kvm_open(const char *, const char *, const char *, int, const char *);
kvm_t	*kvm_openfiles(const char *, const char *, const char *, int, char *);

#ifdef __cplusplus
}
#endif

#endif /* !_KVM_H_ */
