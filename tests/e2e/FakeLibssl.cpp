// A shared object installed as libssl.so.3 in a directory of its own: put first on
// LD_LIBRARY_PATH, it is what the command's dlopen finds, and it has none of OpenSSL's
// functions, as a broken or foreign libssl would not.
extern "C" int varnel_fake_libssl_marker() { return 0; }
