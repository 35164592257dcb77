#include <cstdio>
int main() {
  std::fprintf(stderr, "arcwrite: not built yet\n");
  return 2;
}
