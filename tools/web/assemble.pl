#!/usr/bin/perl
# The page's engine.js: emscripten's output and the worker's own code in one
# function, kvxWorker, whose text the page turns into a worker.
#   assemble.pl ENGINE.js WORKER.js OUT.js
use strict;
use warnings;
my ($engine, $worker, $out) = @ARGV;
sub slurp { local $/; open(my $f, '<:raw', $_[0]) or die "$_[0]: $!"; return scalar <$f>; }
open(my $o, '>:raw', $out) or die "$out: $!";
print $o "// The packer's engine (WebAssembly, inside) and the worker that runs it.\n",
  "function kvxWorker() {\n", slurp($engine), "\n", slurp($worker), "\n}\n";
close($o) or die "$out: $!";
