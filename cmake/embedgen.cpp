// Build-time tool: writes a C++ source that defines qm::embedded::<symbol>
// as a std::string_view over the bytes of a file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: embedgen SYMBOL INPUT OUTPUT\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "embedgen: cannot read %s\n", argv[2]);
    return 1;
  }
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string out;
  out.reserve(data.size() * 5 + 512);
  out += "#include <string_view>\nnamespace {\nalignas(64) const unsigned char bytes[] = {\n";
  static const char* hex = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    out += "0x";
    out += hex[c >> 4];
    out += hex[c & 15];
    out += (i % 24 == 23) ? ",\n" : ",";
  }
  out += "0x00};\n}\nnamespace qm::embedded {\nextern const std::string_view ";
  out += argv[1];
  out += ";\nconst std::string_view ";
  out += argv[1];
  out += "(reinterpret_cast<const char*>(bytes), " + std::to_string(data.size()) + ");\n}\n";
  std::ofstream o(argv[3], std::ios::binary);
  o << out;
  return o ? 0 : 1;
}
