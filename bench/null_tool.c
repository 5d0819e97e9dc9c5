/* Stands in for the archive tool and exits at once. It only checks that its
   arguments came the way the wrapper hands them over after expanding a
   response file: as one "@file" argument. */
int main(int argc, char **argv) {
  return argc == 2 && argv[1][0] == '@' ? 0 : 3;
}
