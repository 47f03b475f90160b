mod geo {
  struct Point;
  impl Point {
    fn new() -> Point { Point }
  }
}

impl<T> Stack<T> {
  fn push(&mut self) {}
}

impl fmt::Display for Point {
  fn fmt(&self) {}
}
impl Point {
  fn new() {}
}

impl<'a> Parser<'a> { fn a() {} }
impl<T: Clone> From<T> for Wrapper<T> { fn b() {} }
impl Shape for &Point { fn c() {} }

mod m {
  impl<T> {
    fn g() {}
  }
}

trait Shape {
  fn area(&self) -> f64;
  type Unit;
}

mod tests;
fn run() {}

enum E { A, B }
union U { a: u8 }
type Id = u32;

fn main() {
  let add = |a, b| a + b;
  let (f, g) = (|| 1, || 2);
  let x = 5;
  let h = Box::new(|| 1);
  let k;
}

const C: u8 = 1;
static S: u8 = 2;
macro_rules! m { () => {} }
use std::fmt;
struct P { x: u8 }

use std::fmt;

pub struct Point { x: f64, y: f64 }

impl Point {
    pub fn norm(&self) -> f64 { (self.x * self.x + self.y * self.y).sqrt() }
}

