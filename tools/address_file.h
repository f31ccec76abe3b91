// The address file: the next Bluetooth address to hand out, kept on disk so that numbering
// goes on across runs. One line such as "0604 03 000100 ": NAP, UAP and LAP in lower-case
// hexadecimal, each followed by a blank; when read, any white space separates the fields and
// the digits may be of either case.
//
// The file is the factory's record of the addresses handed out, so it is never left cut or
// empty: every rewrite goes to a copy beside it ("<file>.tmp"), flushed to the disk and renamed
// over it. The functions take the file's path; the station's file is "info.ini" in the current
// directory.
#pragma once

struct os_file_lock;

constexpr char ADDRESS_FILE[] = "info.ini";
constexpr int TOKEN_MAX = 31;  // longest token read from the file; a longer one is refused

// 0 to 15 for a hexadecimal digit of either case; 0 for every other character.
int hex_digit_value(int c);

// Announces the write and writes the address line of bt_address to the open info_file;
// 1 when the stream took it.
int write_address_lines();

// Reads and checks the three fields from the open info_file; on success sets bytes 0 to 3 of
// bt_address and lap_counter. Prints the failing field's message otherwise; stores nothing.
int parse_address_file();

// Steps lap_counter and bt_address to the next LAP, shows it and saves it to the file. A save
// that fails is reported; the address in memory stays advanced and the file as it was.
void advance_address(const char* path = ADDRESS_FILE);

// Start-up: reads the file into bt_address and lap_counter, first creating it with the
// built-in default address when it is missing. 0 (with its message) when the file can't be
// created, read, opened for update, or holds no valid address.
int load_address_file(const char* path = ADDRESS_FILE);

// Saves the address after bt_address without a word: a unit about to receive bt_address is
// then never followed by a second one with the same address, even if the program dies while
// programming it. 0 with the write error when the file could not be saved.
int reserve_address(const char* path = ADDRESS_FILE);
// Saves bt_address itself back without a word, after a unit that did not take it; 0 with the
// write error when the file could not be saved (it then keeps the reservation).
int release_address(const char* path = ADDRESS_FILE);

// Holds the lock file "<file>.lock" for as long as the caller keeps it: one program at a time
// hands out addresses from one file. nullptr, with its message, when another program holds
// it or it can't be created. The lock ends with unlock_address_file or with the process.
os_file_lock* lock_address_file(const char* path = ADDRESS_FILE);
void unlock_address_file(os_file_lock* lock);
