/* A tiny real Windows program: the attachment tests add sections and chains
   to it and check that it still runs. */
#include <stdio.h>

int main(void) {
  puts("hello from the image");
  return 7;
}
