/* Linkage helpers shared by the public headers; usable from C and C++. */
#ifndef VEKOS_CDEFS_H
#define VEKOS_CDEFS_H

#ifdef __cplusplus
#define VEKOS_BEGIN_DECLS extern "C" {
#define VEKOS_END_DECLS }
#define VEKOS_NORETURN [[noreturn]]
#else
#define VEKOS_BEGIN_DECLS
#define VEKOS_END_DECLS
#define VEKOS_NORETURN _Noreturn
#endif

#endif
