// STUB
int wendrelMain(int, char**) { return 0; }
