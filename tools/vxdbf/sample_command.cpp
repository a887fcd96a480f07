#include "tools/vxdbf/sample_command.h"

#include <CLI/CLI.hpp>
#include <sstream>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

#include "tools/vxdbf/edit_commands.h"

namespace vx::tool {

namespace {

// The demo's film table: its field definitions, as the demo's dataset declares them.
std::vector<vexel::Field> FilmFields() {
  return {{"TITLE", 'C', 20, 0},  {"YEAR", 'N', 4, 0},    {"COLOR", 'L', 1, 0},
          {"RUNTIME", 'N', 3, 0}, {"STARS", 'C', 50, 0},  {"DIRECTOR", 'C', 20, 0},
          {"PLOT", 'M', 10, 0},   {"PREMIERE", 'D', 8, 0}};
}

// Twenty well-known films, as CSV rows in the order of the header below.
constexpr const char* kFilms =
    "TITLE,YEAR,COLOR,RUNTIME,STARS,DIRECTOR,PREMIERE,PLOT\n"
    "Metropolis,1927,F,153,\"Brigitte Helm, Gustav Fr\xC3\xB6hlich\",Fritz Lang,1927-01-10,"
    "\"In a city of towers above and machines below, the son of the city's master falls for a "
    "teacher of the workers' children.\"\n"
    "City Lights,1931,F,87,\"Charlie Chaplin, Virginia Cherrill\",Charles Chaplin,1931-01-30,"
    "\"The Tramp befriends a millionaire who knows him only when drunk, and sets out to help a "
    "blind flower girl.\"\n"
    "The Wizard of Oz,1939,T,102,\"Judy Garland, Ray Bolger\",Victor Fleming,1939-08-25,"
    "\"A tornado carries a Kansas girl to a magic land, where she seeks the wizard who can send "
    "her home.\"\n"
    "Gone with the Wind,1939,T,221,\"Clark Gable, Vivien Leigh\",Victor Fleming,1939-12-15,"
    "\"The daughter of a Georgia planter fights for her home and her loves through the Civil War "
    "and after.\"\n"
    "Citizen Kane,1941,F,119,\"Orson Welles, Joseph Cotten\",Orson Welles,1941-05-01,"
    "\"A reporter pieces together the life of a newspaper magnate from his last word.\"\n"
    "Casablanca,1942,F,102,\"Humphrey Bogart, Ingrid Bergman\",Michael Curtiz,1942-11-26,"
    "\"A cynical club owner in wartime Morocco meets the woman who left him, now in need of his "
    "help.\"\n"
    "Rear Window,1954,T,112,\"James Stewart, Grace Kelly\",Alfred Hitchcock,1954-08-04,"
    "\"A photographer with a broken leg watches his neighbours and comes to suspect a murder.\"\n"
    "Vertigo,1958,T,128,\"James Stewart, Kim Novak\",Alfred Hitchcock,1958-05-09,"
    "\"A retired detective afraid of heights is hired to follow an old friend's wife.\"\n"
    "Some Like It Hot,1959,F,121,\"Marilyn Monroe, Tony Curtis, Jack Lemmon\",Billy Wilder,"
    "1959-03-29,\"Two musicians who witnessed a gangland killing hide in an all-women band.\"\n"
    "Psycho,1960,F,109,\"Anthony Perkins, Janet Leigh\",Alfred Hitchcock,1960-06-16,"
    "\"A secretary on the run stops for the night at a lonely motel.\"\n"
    "Lawrence of Arabia,1962,T,222,\"Peter O'Toole, Omar Sharif\",David Lean,1962-12-10,"
    "\"A British officer unites the Arab tribes against the Turks in the First World War.\"\n"
    "Dr. Strangelove,1964,F,95,\"Peter Sellers, George C. Scott\",Stanley Kubrick,1964-01-29,"
    "\"A general gone mad sends his bombers to attack the Soviet Union.\"\n"
    "The Sound of Music,1965,T,174,\"Julie Andrews, Christopher Plummer\",Robert Wise,"
    "1965-03-02,\"A young novice becomes governess to the seven children of a widowed naval "
    "captain.\"\n"
    "The Godfather,1972,T,175,\"Marlon Brando, Al Pacino\",Francis F. Coppola,1972-03-14,"
    "\"The aging head of a crime family hands his empire to his reluctant youngest son.\"\n"
    "Jaws,1975,T,124,\"Roy Scheider, Robert Shaw\",Steven Spielberg,1975-06-20,"
    "\"A police chief, a scientist and a fisherman hunt a great white shark.\"\n"
    "Star Wars,1977,T,121,\"Mark Hamill, Harrison Ford\",George Lucas,1977-05-25,"
    "\"A farm boy joins a rebellion to rescue a princess from the Empire's battle station.\"\n"
    "Alien,1979,T,117,\"Sigourney Weaver, Tom Skerritt\",Ridley Scott,1979-05-25,"
    "\"The crew of a space freighter answers a distress call and brings back a deadly "
    "creature.\"\n"
    "Blade Runner,1982,T,117,\"Harrison Ford, Rutger Hauer\",Ridley Scott,1982-06-25,"
    "\"A detective in a rainy future Los Angeles hunts escaped artificial humans.\"\n"
    "Back to the Future,1985,T,116,\"Michael J. Fox, Christopher Lloyd\",Robert Zemeckis,"
    "1985-07-03,\"A teenager is sent thirty years back in time in a scientist's car.\"\n"
    "Pulp Fiction,1994,T,154,\"John Travolta, Uma Thurman\",Quentin Tarantino,1994-05-21,"
    "\"The lives of two hit men, a boxer and a gangster's wife cross in Los Angeles.\"\n";

int CreateSample(const Options& o, const Streams& io) {
  // An existing table goes, with its memo file and production index.
  vexel::create(o.file, FilmFields(), {.version = 0x8B, .overwrite = true})
      .close();
  Options append = o;
  append.format = "csv";
  std::istringstream rows(kFilms);
  return AppendRows(append, Streams{rows, io.out, io.err});
}

}  // namespace

void RegisterSampleCommand(Commands& commands) {
  CLI::App& sample = commands.Add(
      {"sample", "FILE                                (the demo's film table)",
       "Creates the demo's film table (dBASE IV with a memo file) holding twenty films.",
       "vxdbf sample movie.DBF", CreateSample});
  AddFileArgument(sample, commands.options());
}

}  // namespace vx::tool
