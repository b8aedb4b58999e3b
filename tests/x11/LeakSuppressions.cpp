// Fontconfig that builds its cache afresh (each test's sandbox has a home of
// its own) keeps a few bytes it never frees; nothing of ours is hidden by
// this, in the sanitizer build of these tests only.

extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
