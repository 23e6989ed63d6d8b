/* Prints the version of the installed Cindral. */
#include <cindral.h>
#include <stdio.h>

int main(void) {
  puts(GetCindralVersion());
  return 0;
}
