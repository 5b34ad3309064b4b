// PLACEHOLDER: replaced by the server start-up.
int main() { return 1; }
