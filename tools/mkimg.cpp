// fwimg: wraps an update package into an ".img" file.
int main() { return 1; }
