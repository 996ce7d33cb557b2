#!/usr/bin/perl
# The page's engine.js: emscripten's output, the libraries the worker uses
# (each with its licence) and the worker's own code in one function,
# kvxWorker, whose text the page turns into a worker.
#   assemble.pl ENGINE.js WORKER.js OUT.js [LIBRARY.js LICENCE]...
use strict;
use warnings;
my ($engine, $worker, $out, @libraries) = @ARGV;
sub slurp { local $/; open(my $f, '<:raw', $_[0]) or die "$_[0]: $!"; return scalar <$f>; }
open(my $o, '>:raw', $out) or die "$out: $!";
print $o "// The packer's engine (WebAssembly, inside) and the worker that runs it.\n",
  "function kvxWorker() {\n", slurp($engine), "\n";
while (my ($library, $licence) = splice(@libraries, 0, 2)) {
  (my $notice = slurp($licence)) =~ s/\*\//* \//g;
  print $o "/* $library\n\n$notice*/\n", slurp($library), "\n";
}
print $o slurp($worker), "\n}\n";
close($o) or die "$out: $!";
