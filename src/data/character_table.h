// The reader of presence/absence data in the forms researchers already have: FASTA, PHYLIP and
// delimited tables.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

#include "data/reader_settings.h"

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
//    named like a leaf holds that leaf's values. The first column names the rows whatever its
//    header (unless it is a leaf's name); the gene column, which groups the rows into genes in
//    order of first appearance, is the one the settings name, or else a later column headed
//    "gene" (any case); the known metadata columns of OrthoFinder, CAFE, Roary and Panaroo are
//    skipped with one notice on stdout. Each further row is a site: a number above 0 or a text
//    is present, 0 absent, and ?, -, NA, N/A unknown; an empty cell is unknown in a table of
//    numbers and absent in a table that holds gene names in its cells (one notice says which
//    the table is). Rows with every cell empty are skipped.
// Every column (or row) needs its leaf; a leaf without one is an error, or unknown at every site,
// or pruned from the tree, as the settings say. Without a gene column the whole file is one gene
// named after the file (its name without folder and extension). The data come out as from the
// pair of pattern files that lists the distinct patterns in order of first appearance: filtered
// by the data's settings, one entry per pattern per gene in pattern order. Prints one
// "Error:VORN:ReadInput: Table '<tableName>' ..." line, naming the line and column at fault or
// every name that does not match, and returns false.
bool ReadCharacterTable(std::FILE* file, const std::string& tableName, const ReaderSettings& reader,
                        PhylogeneticTree& tree, AlignmentData& data);

}  // namespace vorn
