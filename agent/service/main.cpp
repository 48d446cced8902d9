// Placeholder entry until the service module lands.
int main() { return 0; }
