// vornak: reads acquisition folders as instruments write them. main only parses the command line
// and hands the options to the subcommand (info.cpp, spectra.cpp, convert.cpp, check.cpp,
// chromatograms.cpp).
#include <iostream>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"

#ifndef VORNAK_VERSION
#define VORNAK_VERSION "0"
#endif

int main(int argc, char** argv) {
  using namespace vornak::cli;
  CLI::App app{"vornak: read, convert and check acquisition folders (.d)", "vornak"};
  app.set_version_flag("--version", "vornak " VORNAK_VERSION);
  app.require_subcommand(1);

  InfoOptions info;
  CLI::App* info_command = app.add_subcommand("info", "Summary of one acquisition as one JSON object");
  info_command->add_option("PATH", info.path, "acquisition folder")->required();
  info_command->add_flag("--no-decode", info.no_decode,
                         "report what the scan index says only: no block is read, so no encodings, "
                         "calibrations or point counts");
  info_command->add_option("--workers", info.workers, "decoding threads (default: one per hardware thread)");

  SpectraOptions spectra;
  CLI::App* spectra_command = app.add_subcommand("spectra", "One JSON line per scan");
  spectra_command->add_option("PATH", spectra.path, "acquisition folder")->required();
  spectra_command->add_flag("--centroid", spectra.centroid, "the centroid spectrum of each scan");
  spectra_command->add_flag("--points", spectra.points, "include the mz and intensity arrays");
  spectra_command->add_flag("--frames", spectra.frames,
                            "ion mobility: one line per frame (its total spectrum) instead of per spectrum")
      ->excludes("--centroid");

  ConvertOptions convert;
  CLI::App* convert_command = app.add_subcommand("convert", "Convert acquisitions to indexed mzML");
  convert_command->add_option("PATH", convert.paths, "acquisition folders")->required();
  CLI::Option* output = convert_command->add_option("-o,--output", convert.output, "the mzML file (one PATH only)");
  convert_command->add_option("--output-dir", convert.output_dir, "folder for one NAME.mzML per PATH")
      ->excludes(output);
  CLI::Option* compression =
      convert_command
          ->add_option("--compression", convert.compression,
                       "zlib-format compression of the arrays: fast, default, small or none (default: default)")
          ->check(CLI::IsMember({"fast", "default", "small", "none"}));
  convert_command
      ->add_flag("--no-compression", convert.no_compression, "binary arrays without zlib (--compression none)")
      ->excludes(compression);
  convert_command->add_flag("--numpress", convert.numpress,
                            "MS-Numpress: m/z by linear prediction, intensities as positive integers (counts) or "
                            "short logged floats, then compressed as --compression says");
  convert_command->add_flag("--intensity-32", convert.intensity_32,
                            "32-bit intensities (counts above 2^24 round); default 64-bit, exact");
  convert_command->add_flag("--trim-zeros", convert.trim_zeros,
                            "profile spectra keep only non-zero points and the zeros next to them");
  convert_command->add_flag("--centroid-only", convert.centroid_only,
                            "centroid spectra only; scans without one are left out");
  convert_command->add_flag("--srm-as-spectra", convert.srm_as_spectra,
                            "MRM and SIM records as spectra too (always as SRM/SIM chromatograms)");
  convert_command->add_option("--workers", convert.workers, "encoding threads (default: one per hardware thread)");
  convert_command->add_flag("-q,--quiet", convert.quiet, "no progress bar");
  convert_command->add_option("--format", convert.format,
                              "mzml or mzpeak (default: mzpeak for an output ending in .mzpeak or /, else mzml)")
      ->check(CLI::IsMember({"mzml", "mzpeak"}));
  convert_command->add_flag("--mzpeak-dir", convert.mzpeak_dir, "mzPeak members unpacked in a directory");

  ChromatogramsOptions chromatograms;
  CLI::App* chromatograms_command =
      app.add_subcommand("chromatograms", "One JSON line per MRM transition or SIM ion (triple quadrupoles)");
  chromatograms_command->add_option("PATH", chromatograms.path, "acquisition folder")->required();
  chromatograms_command->add_option("--workers", chromatograms.workers,
                                    "decoding threads (default: one per hardware thread)");

  CheckOptions check;
  CLI::App* check_command = app.add_subcommand("check", "Read everything and report damage (exit 0 intact, 4 damaged)");
  check_command->add_option("PATH", check.path, "acquisition folder")->required();
  check_command->add_flag("--json", check.json, "one JSON object instead of text");
  check_command->add_option("--workers", check.workers, "checking threads (default: one per hardware thread)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? EXIT_OK : EXIT_USAGE;
  }
  if (info_command->parsed()) return run_info(info);
  if (spectra_command->parsed()) return run_spectra(spectra);
  if (convert_command->parsed()) return run_convert(convert);
  if (chromatograms_command->parsed()) return run_chromatograms(chromatograms);
  return run_check(check);
}
