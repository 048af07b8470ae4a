// tamrel: refines crystal structures and microstructure of one or more
// crystalline phases against measured powder-diffraction scans.
#include "tamrel.hpp"

int main(int argc, char** argv) { tamrel::run(argc, argv); }
