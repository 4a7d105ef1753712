// A library that exports nothing the program looks for.
extern "C" __attribute__((visibility("default"))) int chronark_test_unrelated_export() {
  return 42;
}
