// The shared object's entry points: load and unload run with dlopen/dlclose
// and at process start and exit.
