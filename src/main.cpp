// main.cpp - the stub's entry: split the command line, run, end the process.
#include "front/command_line.h"
#include "front/program_run.h"

int main(int argc, char** argv) {
  CommandWords words = command_words(argc, argv);
  end_process(run_program(words.count, words.words));
}
