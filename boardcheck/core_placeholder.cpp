// Keeps the core library non-empty until its first source lands.
