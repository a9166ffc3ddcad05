// The reader of presence/absence data in the forms researchers already have: FASTA, PHYLIP and
// delimited tables.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace vorn {

class PhylogeneticTree;
class AlignmentData;

// Longest line of a table: tens of thousands of species with their copy numbers fit many times.
constexpr std::size_t kMaxTableLineLength = std::size_t{1} << 24;

// Reads presence/absence data for the tree's leaves from a file a researcher already has, in one
// of three forms told apart by the first line that is not blank:
//  - a line beginning with ">": FASTA, one record per leaf, named by the first word of its ">"
//    line, its rows of 0, 1, ? or - (unknown) on the lines after it;
//  - a line of two whole numbers (leaves, sites): sequential PHYLIP, each leaf's name, a blank and
//    its row, which may go on over the next lines until it holds every site;
//  - otherwise a table: its first line the column names, separated by tabs, commas or semicolons
//    (whichever the first line holds most of), quoted or not as spreadsheets write them. A column
//    named like a leaf holds that leaf's values; one named "gene" (any case) groups the rows into
//    genes, in order of first appearance; a first column named "id", "site", "family" (any case)
//    or nothing names the rows and is skipped. Each further row is a site: a number of at least 1
//    is present (a copy number), 0 absent, and ?, -, NA, N/A or an empty cell unknown. Rows with
//    every cell empty are skipped.
// Every leaf of the tree must have its column (or row) and every column (or row) its leaf. Without
// a gene column the whole file is one gene named after the file (its name without folder and
// extension). The data come out as from the pair of pattern files that lists the distinct
// patterns in order of first appearance: filtered by the data's settings, one entry per pattern
// per gene in pattern order. Prints one "Error:VORN:ReadInput: Table '<tableName>' ..." line,
// naming the line and column at fault or every name that does not match, and returns false.
bool ReadCharacterTable(std::FILE* file, const std::string& tableName, const PhylogeneticTree& tree,
                        AlignmentData& data);

}  // namespace vorn
