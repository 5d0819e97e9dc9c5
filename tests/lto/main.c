#include <stdio.h>

int calc_twice(int a);

int main(void) {
  printf("%d\n", calc_twice(21));
  return 0;
}
