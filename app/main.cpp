#include <cstdio>

int main() {
  std::puts("Quenwick is built; its window is not there yet.");
  return 0;
}
