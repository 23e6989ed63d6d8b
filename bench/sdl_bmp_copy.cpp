// SDL2_image as a tool: loads an image file and saves it as a BMP file, the
// peer of `quorvin decode IN -o OUT.bmp` in bench/tool_speed.sh.
// Usage: sdl_bmp_copy IN OUT.bmp
#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>
#include <stdio.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: sdl_bmp_copy IN OUT.bmp\n");
    return 2;
  }
  SDL_Surface *s = IMG_Load(argv[1]);
  if (!s) {
    fprintf(stderr, "sdl_bmp_copy: %s: %s\n", argv[1], IMG_GetError());
    return 1;
  }
  int r = SDL_SaveBMP(s, argv[2]);
  SDL_FreeSurface(s);
  if (r != 0) {
    fprintf(stderr, "sdl_bmp_copy: %s: %s\n", argv[2], SDL_GetError());
    return 1;
  }
  return 0;
}
