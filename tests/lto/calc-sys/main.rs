fn main() {
    println!("{}", unsafe { calc_sys::calc_twice(21) });
}
