/* An extension module's own file. All of the package's C++ (the runtime, every module's
   code and the C++ standard library when it is linked statically) is in the one shared
   library, so there is one copy of each type_info and exceptions cross freely; this file
   only hands the interpreter's PyInit_ call to the module's init function there. It is
   built once per module with PRIVATE_CORE_MODULE set to the module's name. */
#include <stdlib.h>

typedef struct _object PyObject;

/* auditwheel reads the C library a wheel needs from each extension module's own
   dependencies, and this file calls nothing in it: one reference, kept by `used` and,
   through the linker's --gc-sections, by `retain`, makes the link name libc.so.6 here. */
__attribute__((used, retain)) static void (*const libc_anchor)(void) = abort;

#define PC_CONCAT(a, b) a##b
#define PC_NAME(prefix, name) PC_CONCAT(prefix, name)

PyObject* PC_NAME(private_core_init_, PRIVATE_CORE_MODULE)(void);

__attribute__((visibility("default"))) PyObject* PC_NAME(PyInit_, PRIVATE_CORE_MODULE)(void) {
    return PC_NAME(private_core_init_, PRIVATE_CORE_MODULE)();
}
