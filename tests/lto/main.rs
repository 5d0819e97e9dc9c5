extern "C" {
    fn calc_twice(a: i32) -> i32;
}

fn main() {
    println!("{}", unsafe { calc_twice(21) });
}
