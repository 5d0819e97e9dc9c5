int calc_add(int a, int b);

int calc_twice(int a) { return calc_add(a, a); }
