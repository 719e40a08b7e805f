/* embed_host.c: a program that embeds Python and initialises it again and again, as hosts
 * that run scripts do. Each round initialises the interpreter, runs the script named on the
 * command line, and finalises the interpreter. The table of Py_AtExit functions, which each
 * finalisation runs and empties, it fills in each round but for one entry, as a host with
 * many users of it might: the embedded modules must make do with one function per round.
 *
 *   embed_host SCRIPT ROUNDS
 */
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>

static char* read_file(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  char* text = NULL;
  long n = -1;
  if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0 &&
      (text = malloc((size_t)n + 1)) && fread(text, 1, (size_t)n, f) == (size_t)n) {
    text[n] = '\0';
  } else {
    free(text);
    text = NULL;
  }
  fclose(f);
  return text;
}

static void nothing(void) {}

/* How many functions Py_AtExit takes in a runtime that has run nothing yet, or -1. */
static int exit_table_size(void) {
  Py_InitializeEx(0);
  int n = 0;
  while (Py_AtExit(nothing) == 0) ++n;
  return Py_FinalizeEx() < 0 ? -1 : n;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s SCRIPT ROUNDS\n", argv[0]);
    return 2;
  }
  char* script = read_file(argv[1]);
  if (!script) {
    perror(argv[1]);
    return 2;
  }
  int rounds = atoi(argv[2]);
  int size = exit_table_size();
  if (size < 1) {
    fprintf(stderr, "Py_AtExit takes %d functions\n", size);
    return 1;
  }
  for (int round = 1; round <= rounds; ++round) {
    Py_InitializeEx(0);
    for (int i = 1; i < size; ++i) Py_AtExit(nothing);
    if (PyRun_SimpleString(script) != 0) {
      fprintf(stderr, "round %d: the script failed\n", round);
      return 1;
    }
    if (Py_FinalizeEx() < 0) {
      fprintf(stderr, "round %d: finalizing failed\n", round);
      return 1;
    }
    printf("round %d done\n", round);
    fflush(stdout);
  }
  free(script);
  return 0;
}
