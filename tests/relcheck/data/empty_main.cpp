// A program without version data, or with the block its CMake target gives it.
int main() { return 0; }
