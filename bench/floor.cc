// The floor for the benchmark: the least a C++ program like ours must do.
// It opens the image with std::ifstream, reads 32 bytes and prints four
// lines, and nothing else.

#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
  std::cout << "Quillmark Detector floor " << std::endl;
  if (argc < 2) return 1;
  std::ifstream image(argv[1], std::ios_base::binary);
  char header[32] = {};
  image.read(header, sizeof header);
  std::cout << "Analysing file " << argv[1] << std::endl;
  std::cout << "read " << image.gcount() << " bytes" << std::endl;
  std::cout << "File does not contain any Quillmark hidden data. " << std::endl;
  return 0;
}
