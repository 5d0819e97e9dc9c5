fn main() {
    cc::Build::new().file("../add.c").file("../twice.c").compile("calc");
}
