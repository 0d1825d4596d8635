// Sets right, in a forked child, the interpreter's locks that the fork left held by a thread the
// child does not have (see fork_repair.c). Called by the child's after-fork hook, attached.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void vespra_release_what_the_fork_left_held(void);

#ifdef __cplusplus
}
#endif
