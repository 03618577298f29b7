// Stands in for a container file swapped in behind the checks: if it ever
// runs, its exit code gives it away.
int main() { return 77; }
