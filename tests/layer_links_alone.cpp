// Links one layer's every object with the layers below it alone (see
// CMakeLists.txt); the program itself does nothing.
int main() { return 0; }
