extern "C" {
    pub fn calc_twice(a: i32) -> i32;
}
