// STUB
int wendrelMain(int, char**);
int main(int argc, char** argv) { return wendrelMain(argc, argv); }
